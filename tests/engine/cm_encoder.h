// Test-only IXCM writer: the decoder's model driven by the exact inverse of its arithmetic
// decoder. Nothing in the program writes these streams, so round trips need this mirror.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace ixo::cm::testing {

enum class StreamMode : uint8_t { Stored = 0, Modelled = 1 };

// The 20-byte header; n is written as a full u64.
std::vector<uint8_t> stream_header(int profile, StreamMode mode, int level, uint64_t n, uint32_t crc);

// The arithmetic code of data under a fresh model of the given profile and level.
std::vector<uint8_t> encode_payload(std::span<const uint8_t> data, int profile, int level);

// A whole stream: header with the data's CRC-32, then the payload of the mode.
std::vector<uint8_t> encode_stream(std::span<const uint8_t> data, int profile, int level,
                                   StreamMode mode = StreamMode::Modelled);

}  // namespace ixo::cm::testing
