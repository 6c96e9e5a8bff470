// Hash constants and the finaliser behind every context hash. All arithmetic wraps modulo 2^32.
#pragma once

#include <cstdint>

namespace ixo::cm {

inline constexpr uint32_t kHashA = 0x85EBCA77u;
inline constexpr uint32_t kHashB = 0xC2B2AE3Du;
inline constexpr uint32_t kHashG = 0x9E3779B1u;

// Per-context salt k x G.
constexpr uint32_t salt(uint32_t k) { return k * kHashG; }

constexpr uint32_t fmix(uint32_t x) {
  x ^= x >> 15;
  x *= 0x2C1B3C6Du;
  x ^= x >> 13;
  return x;
}

}  // namespace ixo::cm
