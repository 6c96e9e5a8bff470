// The "bcj-x86" row: the x86 BCJ filter of xz, once over the whole file from offset 0.
#include "transform/bcj_x86.h"

#include "transform/slots.h"

namespace ixo::transform {

namespace {

constexpr bool MASK_TO_ALLOWED[8] = {true, true, true, false, true, false, false, false};
constexpr uint32_t MASK_TO_BIT_NUMBER[8] = {0, 1, 2, 2, 3, 3, 3, 3};

// The most significant byte of a plausible near target: all zeros or all ones.
bool is_sign_byte(uint8_t b) { return b == 0x00 || b == 0xFF; }

uint16_t le16(std::span<const uint8_t> d, size_t at) { return uint16_t(d[at] | d[at + 1] << 8); }
uint32_t le32(std::span<const uint8_t> d, size_t at) {
  return uint32_t{d[at]} | uint32_t{d[at + 1]} << 8 | uint32_t{d[at + 2]} << 16 | uint32_t{d[at + 3]} << 24;
}

}  // namespace

uint64_t bcj_x86(std::span<uint8_t> buf, bool encode) {
  const size_t n = buf.size();
  if (n < 5) return 0;
  uint32_t prev_mask = 0;
  size_t prev_pos = 0;
  uint64_t count = 0;
  size_t i = 0;
  while (i <= n - 5) {
    if ((buf[i] & 0xFE) != 0xE8) {
      ++i;
      continue;
    }
    const size_t offset = i - prev_pos;
    prev_pos = i;
    if (offset > 5) {
      prev_mask = 0;
    } else {
      for (size_t k = 0; k < offset; ++k) prev_mask = (prev_mask << 1) & 0xEE;
    }
    const uint8_t b4 = buf[i + 4];
    // Every shift clears bits 0 and 4, so when this passes prev_mask >> 1 is at most 7.
    if (is_sign_byte(b4) && MASK_TO_ALLOWED[(prev_mask >> 1) & 7] && (prev_mask >> 1) < 0x10) {
      const uint32_t pos = static_cast<uint32_t>(i + 5);
      uint32_t src = le32(buf, i + 1);
      uint32_t dest;
      for (;;) {
        dest = encode ? src + pos : src - pos;
        if (prev_mask == 0) break;
        const uint32_t k = MASK_TO_BIT_NUMBER[(prev_mask >> 1) & 7] * 8;
        if (!is_sign_byte(static_cast<uint8_t>(dest >> (24 - k)))) break;
        src = dest ^ ((uint32_t{1} << (32 - k)) - 1);
      }
      buf[i + 1] = static_cast<uint8_t>(dest);
      buf[i + 2] = static_cast<uint8_t>(dest >> 8);
      buf[i + 3] = static_cast<uint8_t>(dest >> 16);
      buf[i + 4] = (dest >> 24) & 1 ? 0xFF : 0x00;
      ++count;
      i += 5;  // the operand's bytes are no opcodes
      prev_mask = 0;
    } else {
      ++i;
      prev_mask |= 1;
      if (is_sign_byte(b4)) prev_mask |= 0x10;
    }
  }
  return count;
}

// A little-endian ELF for i386 or x86-64, or a PE image for i386 or AMD64.
bool is_x86_executable(std::span<const uint8_t> data) {
  const size_t n = data.size();
  if (n >= 4 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F') {
    if (n < 20 || data[5] != 1) return false;
    const uint16_t machine = le16(data, 18);
    return machine == 3 || machine == 62;
  }
  if (n < 64 || data[0] != 'M' || data[1] != 'Z') return false;
  const uint64_t e = le32(data, 60);
  if (e + 6 > n) return false;
  const size_t at = static_cast<size_t>(e);
  if (data[at] != 'P' || data[at + 1] != 'E' || data[at + 2] != 0 || data[at + 3] != 0) return false;
  const uint16_t machine = le16(data, at + 4);
  return machine == 0x014C || machine == 0x8664;
}

std::optional<Bytes> encode_bcj_x86(std::span<const uint8_t> data) {
  Bytes out(data.begin(), data.end());
  if (bcj_x86(out, true) == 0) return std::nullopt;
  return out;
}

// The encoder already declines code without a single converted operand.
bool bcj_x86_worth_keeping(uint64_t, uint64_t) { return true; }

Result<Bytes> decode_bcj_x86(std::span<const uint8_t> stored, uint64_t) {
  Bytes out(stored.begin(), stored.end());
  bcj_x86(out, false);
  return out;
}

}  // namespace ixo::transform
