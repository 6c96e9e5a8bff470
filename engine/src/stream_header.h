// The 20-byte header of an IXCM stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ixo::cm {

inline constexpr size_t kHeaderSize = 20;
inline constexpr uint8_t kMagic[4] = {'I', 'X', 'C', 'M'};

enum class Mode : uint8_t { Stored = 0, Modelled = 1 };

struct StreamHeader {
  int profile;       // 1..3
  Mode mode;
  int level;         // 1..9
  uint64_t length;   // declared output length, all 64 bits
  uint32_t crc;
};

// False when the bytes are not an IXCM header (too short, wrong magic, profile, mode or level).
bool parse_header(const uint8_t* src, size_t src_len, StreamHeader& out);

}  // namespace ixo::cm
