// The footer that ends every archive state and the index segment it locates.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "error.h"
#include "format/index_parser.h"
#include "platform/file.h"

namespace ixo::pack {

inline constexpr uint64_t HEADER_BYTES = 8;
inline constexpr uint64_t FOOTER_BYTES = 44;
inline constexpr uint64_t MIN_ARCHIVE_BYTES = HEADER_BYTES + FOOTER_BYTES;
inline constexpr uint64_t MAX_SEGMENT_LEN = uint64_t{1} << 32;

struct Footer {
  uint64_t index_offset = 0;  // where the stored segment starts and this state's data region ends
  uint64_t stored_len = 0;
  uint64_t raw_len = 0;
  std::array<uint8_t, 16> digest{};  // first 16 bytes of the BLAKE3 digest of the stored segment
  std::array<uint8_t, 4> magic{};

  static Footer decode(const std::array<uint8_t, FOOTER_BYTES>& bytes);
};

// The segment version that a footer magic gives under a header version, or nothing when the pairing is not admitted.
std::optional<uint16_t> segment_version(uint16_t header_version, const std::array<uint8_t, 4>& magic);

// The five location tests of a footer that ends at end: the segment lies between the header and the footer, and
// neither of its lengths passes 2^32.
bool index_location_ok(const Footer& footer, uint64_t end);

// One loaded and verified index segment.
struct Segment {
  std::vector<uint8_t> data;  // the decoded index bytes
  uint64_t offset = 0;        // the footer's index_offset
  uint16_t version = 0;

  format::SegmentView view() const { return {data, version}; }
};

// Reads and verifies the footer that ends at end and the segment it locates.
Result<Segment> read_segment(const platform::File& file, uint64_t end, uint16_t header_version);

// The footer that ends at end, not yet checked.
Result<Footer> read_footer(const platform::File& file, uint64_t end);

// The segment of stored bytes whose digest was checked: decoded, and of exactly the footer's raw length.
Result<Segment> decode_segment(const Footer& footer, uint16_t version, std::span<const uint8_t> stored);

}  // namespace ixo::pack
