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
      for (int j = 0; j < kPoints; ++j) table[c * kPoints + j] = 16 * kKnots[j];
  }

  // st is a stretched probability; returns 1..4095.
  int refine(int st, uint32_t context) {
    wt = st & 127;
    idx = size_t{context} * kPoints + static_cast<size_t>((st + 2048) >> 7);
    return std::clamp((table[idx] * (128 - wt) + table[idx + 1] * wt) >> 11, 1, 4095);
  }

  void update(int bit) {
    const int32_t target = bit ? 65535 : 0;
    table[idx] += ((128 - wt) * (target - table[idx])) >> (rate + 7);
    table[idx + 1] += ((target - table[idx + 1]) * wt) >> (rate + 7);
  }

  int32_t rate = 7;
  int32_t wt = 0;
  size_t idx = 0;
  Table<int32_t> table;
  const int16_t* stretch_tab;
};

}  // namespace ixo::cm
