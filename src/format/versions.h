// Archive format versions, what each one changes that more than one place reads, and the feature flags of
// version 7. Raising MAX_VERSION is the one edit a new version needs here; the footer magics, the recovery scan
// and the segment-version pairing follow from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ixo::format {

inline constexpr uint16_t MIN_VERSION = 1;
inline constexpr uint16_t MAX_VERSION = 7;

// Magics are "IXO" and one digit. The header's is always "IXO2"; a footer's digit is its segment's version, "IXO2"
// standing for versions 1 and 2 alike (the oldest magic).
using Magic = std::array<uint8_t, 4>;
inline constexpr uint16_t OLDEST_MAGIC_VERSION = 2;
static_assert(MAX_VERSION <= 9, "a footer magic holds its version in one digit");

constexpr Magic magic_of(uint16_t version) {
  const uint16_t digit = version < OLDEST_MAGIC_VERSION ? OLDEST_MAGIC_VERSION : version;
  return {'I', 'X', 'O', static_cast<uint8_t>('0' + digit)};
}

inline constexpr Magic HEADER_MAGIC = magic_of(OLDEST_MAGIC_VERSION);

// The version that the 4 bytes at p name when they are a footer magic this build knows ("IXO2" to the magic of
// MAX_VERSION), whatever the header; else nothing.
constexpr std::optional<uint16_t> footer_magic_version(const uint8_t* p) {
  if (p[0] != 'I' || p[1] != 'X' || p[2] != 'O') return std::nullopt;
  if (p[3] < '0' + OLDEST_MAGIC_VERSION || p[3] > '0' + MAX_VERSION) return std::nullopt;
  return static_cast<uint16_t>(p[3] - '0');
}

// Segment versions under a header version: from SEGMENT_OWN_VERSION on a segment carries exactly its
// header's version; older headers, up to SEGMENT_SHARED_VERSION, take segments of that version, and headers of
// the oldest magic's versions also their own version under the oldest magic.
inline constexpr uint16_t SEGMENT_SHARED_VERSION = 3;
inline constexpr uint16_t SEGMENT_OWN_VERSION = SEGMENT_SHARED_VERSION + 1;

// Segments from this version on carry feature flags (read as 0 below it).
inline constexpr uint16_t FEATURE_FLAGS_VERSION = 7;

// Chunk digests: none stored below CHUNK_DIGESTS_VERSION (all zero stands for none), then their first 16 bytes,
// and the whole 32 bytes from FULL_CHUNK_DIGESTS_VERSION on. The same rule reads the chunk table of a segment (by
// its version) and checks a chunk (by the header's version).
inline constexpr uint16_t CHUNK_DIGESTS_VERSION = 3;
inline constexpr uint16_t FULL_CHUNK_DIGESTS_VERSION = 5;
inline constexpr size_t SHORT_CHUNK_DIGEST_BYTES = 16;
inline constexpr size_t FULL_CHUNK_DIGEST_BYTES = 32;

constexpr bool chunk_digests_stored(uint16_t version) { return version >= CHUNK_DIGESTS_VERSION; }
constexpr bool full_chunk_digests(uint16_t version) { return version >= FULL_CHUNK_DIGESTS_VERSION; }
constexpr size_t chunk_digest_bytes(uint16_t version) {
  if (!chunk_digests_stored(version)) return 0;
  return full_chunk_digests(version) ? FULL_CHUNK_DIGEST_BYTES : SHORT_CHUNK_DIGEST_BYTES;
}

inline constexpr uint64_t FEATURE_ENTRY_METADATA = 1;
inline constexpr uint64_t FEATURE_SNAPSHOT_EDITS = 2;
inline constexpr uint64_t FEATURE_CHAINED_INDEXES = 4;

struct Feature {
  uint64_t flag;
  std::string_view name;
};

inline constexpr std::array<Feature, 3> KNOWN_FEATURES{{
    {FEATURE_ENTRY_METADATA, "entry metadata"},
    {FEATURE_SNAPSHOT_EDITS, "snapshot edits"},
    {FEATURE_CHAINED_INDEXES, "chained indexes"},
}};

}  // namespace ixo::format
