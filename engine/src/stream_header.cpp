#include "stream_header.h"

#include <cstring>

namespace ixo::cm {
namespace {

uint64_t read_le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

bool parse_header(const uint8_t* src, size_t src_len, StreamHeader& out) {
  if (src_len < kHeaderSize) return false;
  if (std::memcmp(src, kMagic, sizeof kMagic) != 0) return false;
  const int profile = src[4];
  const int mode = src[5];
  const int level = src[6];
  if (profile < 1 || profile > 3) return false;
  if (mode > 1) return false;
  if (level < 1 || level > 9) return false;
  // Byte 7 is reserved and accepted whatever it holds.
  out.profile = profile;
  out.mode = static_cast<Mode>(mode);
  out.level = level;
  out.length = read_le(src + 8, 8);
  out.crc = static_cast<uint32_t>(read_le(src + 16, 4));
  return true;
}

}  // namespace ixo::cm
