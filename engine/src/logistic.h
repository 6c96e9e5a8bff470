// Conversions between 12-bit probabilities and the logistic (stretched) domain.
#pragma once

#include <array>
#include <cstdint>

namespace ixo::cm {

// The logistic curve at every 128th stretched value. These integers are the definition;
// recomputing them from the formula would risk a different rounding.
inline constexpr std::array<int32_t, 33> kKnots = {
    1,    2,    4,    6,    10,   17,   27,   45,   74,   120,  194,  311,  488,  747,  1102, 1546, 2048,
    2550, 2994, 3349, 3608, 3785, 3902, 3976, 4022, 4051, 4069, 4079, 4086, 4090, 4092, 4094, 4095};

// d must already be clamped to -2047..2047; the result is 1..4095.
constexpr int squash(int d) {
  const int i = (d >> 7) + 16;
  const int f = d & 127;
  return (kKnots[i] * (128 - f) + kKnots[i + 1] * f + 64) >> 7;
}

// squash(d) for every d in -2047..2047, at index d + 2047: one load instead of an interpolation.
inline constexpr std::array<int16_t, 4095> kSquashTable = [] {
  std::array<int16_t, 4095> t{};
  for (int d = -2047; d <= 2047; ++d) t[static_cast<size_t>(d + 2047)] = static_cast<int16_t>(squash(d));
  return t;
}();

inline int squash_lookup(int d) { return kSquashTable[static_cast<size_t>(d + 2047)]; }

// Entry j is the smallest d in -2047..2047 with squash(d) >= j. Built at compile time, so
// concurrent engine calls never race on its construction.
inline constexpr std::array<int16_t, 4096> kStretchTable = [] {
  std::array<int16_t, 4096> t{};
  int next = 0;
  for (int d = -2047; d <= 2047; ++d) {
    const int v = squash(d);
    for (int j = next; j <= v; ++j) t[j] = static_cast<int16_t>(d);
    if (v >= next) next = v + 1;
  }
  return t;
}();

// The same values widened, for the vector code that reads eight entries at once.
inline constexpr std::array<int32_t, 4096> kStretch32 = [] {
  std::array<int32_t, 4096> t{};
  for (size_t j = 0; j < t.size(); ++j) t[j] = kStretchTable[j];
  return t;
}();

inline const int16_t* stretch_table() { return kStretchTable.data(); }

inline int stretch(int p) { return kStretchTable[p]; }

}  // namespace ixo::cm
