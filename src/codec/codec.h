// The two constructors of archive errors, the codec table and the one-frame zstd decoder.
#pragma once

#include <array>
#include <cstdint>
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

}  // namespace ixo::codec
