// The two constructors of archive errors, the codec table and the one-frame zstd decoder.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.h"

namespace ixo::codec {

// Damaged or inconsistent archive content.
inline Error invalid(std::string_view text) { return Error::message(ErrorKind::InvalidData, std::string(text)); }
// The archive needs a newer extractor.
inline Error unsupported(std::string_view text) { return Error::message(ErrorKind::Unsupported, std::string(text)); }

struct CodecSpec {
  std::string_view name;
  std::string_view description;
  uint16_t unused_version;  // 1 in every row; nothing reads it
  uint8_t id;
};

inline constexpr uint8_t CODEC_STORE = 0;
inline constexpr uint8_t CODEC_ZSTD = 1;
inline constexpr uint8_t CODEC_LZMA2 = 2;
inline constexpr uint8_t CODEC_CM = 3;

inline constexpr std::array<CodecSpec, 4> CODECS{{
    {"store", "raw bytes", 1, CODEC_STORE},
    {"zstd", "one zstd frame", 1, CODEC_ZSTD},
    {"lzma2", "one .xz stream", 1, CODEC_LZMA2},
    {"cm", "one IXCM stream (engine/src/ixo_cm)", 1, CODEC_CM},
}};

// Decodes the one zstd frame that data must hold. Returns at most expected + 1 bytes; the caller checks the length.
Result<std::vector<uint8_t>> zstd_frame(std::span<const uint8_t> data, uint64_t expected);
// The same into out, whose bytes are written over without being cleared (its size at the start is room to use);
// out ends holding the decoded bytes.
Status zstd_frame_into(std::span<const uint8_t> data, uint64_t expected, std::vector<uint8_t>& out);

// The most bytes a zstd frame header takes.
inline constexpr size_t ZSTD_HEAD_BYTES = 18;

// False when the first bytes of data (at most ZSTD_HEAD_BYTES of them, all of data when it is shorter) already
// show that zstd_frame(data, expected) cannot give exactly expected bytes: they start no frame the library
// knows, or a frame whose header declares another decoded length. True when they cannot tell.
bool zstd_frame_may_give(std::span<const uint8_t> head, uint64_t expected);

// Reads the bytes at an offset into a stretch; false when they cannot be read.
using ReadAt = std::function<bool(uint64_t offset, std::span<uint8_t> out)>;

// How long the zstd frame at the start of a stretch is, from its frame and block headers alone: zstd_frame can
// succeed only on a stretch of exactly that length. NO_FRAME_FITS when no stretch of at most limit bytes can
// hold it whole; nothing when the headers cannot tell (no current frame there, or bytes that cannot be read).
inline constexpr uint64_t NO_FRAME_FITS = UINT64_MAX;
std::optional<uint64_t> zstd_frame_span(uint64_t limit, const ReadAt& read);

}  // namespace ixo::codec
