// Adaptive bit counter shared by every component of the model.
#pragma once

#include <array>
#include <cstdint>

namespace ixo::cm {

// Bits 31..10: probability of a 1 in units of 2^-22; bits 9..0: update count.
inline constexpr uint32_t kCounterInit = 0x80000000u;

inline constexpr uint32_t kLimitSlow = 1023;  // direct tables, secondary maps, match models
inline constexpr uint32_t kLimitFast = 255;   // slots of the hashed tables

// kRecip[n] = floor(131072 / (2n + 3)): the update rate 2 / (2n + 3) in 1/65536 units,
// so that an update needs no division.
inline constexpr std::array<uint32_t, 1024> kRecip = [] {
  std::array<uint32_t, 1024> t{};
  for (uint32_t n = 0; n < t.size(); ++n) t[n] = 131072u / (2 * n + 3);
  return t;
}();

inline void counter_update(uint32_t& v, int bit, uint32_t limit) {
  const int64_t p = v >> 10;
  uint32_t n = v & 1023u;
  const int64_t target = bit ? 0x3FFFFF : 0;
  // Signed product with an arithmetic shift: a falling probability rounds toward minus infinity.
  const int64_t next = p + ((static_cast<int64_t>(kRecip[n]) * (target - p)) >> 16);
  if (n < limit) ++n;
  v = (static_cast<uint32_t>(next) << 10) | n;
}

}  // namespace ixo::cm
