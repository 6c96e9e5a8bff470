// Adaptive probability map: refines a probability under a context by interpolating between
// 33 learned points along the stretched scale.
#pragma once

#include <algorithm>
#include <cstdint>

#include "logistic.h"
#include "table_memory.h"

namespace ixo::cm {

class APM {
 public:
  static constexpr int kPoints = 33;

  explicit APM(size_t contexts) : table(contexts * kPoints, 0), stretch_tab(stretch_table()) {
    for (size_t c = 0; c < contexts; ++c)
      for (int j = 0; j < kPoints; ++j) table[c * kPoints + j] = static_cast<uint16_t>(16 * kKnots[j]);
  }

  // st is a stretched probability; returns 1..4095.
  int refine(int st, uint32_t context) {
    wt = st & 127;
    idx = size_t{context} * kPoints + static_cast<size_t>((st + 2048) >> 7);
    // Points are at most 65535, so the sum is below 2^23 and the result at most 4095.
    return std::max((table[idx] * (128 - wt) + table[idx + 1] * wt) >> 11, 1);
  }

  void update(int bit) {
    const int32_t target = bit ? 65535 : 0;
    const int32_t lo = table[idx];
    const int32_t hi = table[idx + 1];
    table[idx] = static_cast<uint16_t>(lo + (((128 - wt) * (target - lo)) >> (kRate + 7)));
    table[idx + 1] = static_cast<uint16_t>(hi + (((target - hi) * wt) >> (kRate + 7)));
  }

  static constexpr int32_t kRate = 7;
  int32_t wt = 0;
  size_t idx = 0;
  // A point moves by at most its distance to the target (the weight is at most 128 = 2^7 and
  // the shift at least 7), and the floor of a fall never passes 0, so every point stays within
  // 0..65535: 16 bits hold it exactly, at half the cache footprint.
  Table<uint16_t> table;
  const int16_t* stretch_tab;
};

}  // namespace ixo::cm
