// Two weight sets over one input vector: one selected by the partial byte, one by the last
// byte and the state of the match models.
#pragma once

#include <algorithm>
#include <cstdint>

#include "logistic.h"
#include "table_memory.h"

namespace ixo::cm {

// Offset of the second weight row, chosen by the match models' length buckets; a match2
// prediction outranks match1.
constexpr int mixer_selector(uint32_t bucket1, uint32_t bucket2) {
  const uint32_t v = bucket2 != 0 ? ((bucket2 >> 1) | 16u) : bucket1;
  if (v == 0) return 0;
  if (v < 16) return 256;
  if (v < 24) return 512;
  return 768;
}

class MixerPair {
 public:
  static constexpr int kRowsA = 256;
  static constexpr int kRowsB = 1024;
  static constexpr int32_t kWeightInit = 16384;  // 0.25 with 65536 as 1.0
  static constexpr int32_t kWeightLimit = 4194304;
  static constexpr int kMaxInputs = 36;

  explicit MixerPair(int inputs)
      : n(inputs),
        weights_a(size_t{kRowsA} * inputs, kWeightInit),
        weights_b(size_t{kRowsB} * inputs, kWeightInit),
        inputs(static_cast<size_t>(inputs), 0) {}

  // Mixes the gathered inputs with both sets and returns the squashed average.
  int mix(int a_row, int b_row) {
    row_a = a_row;
    row_b = b_row;
    const int32_t* __restrict wa = &weights_a[static_cast<size_t>(row_a) * n];
    const int32_t* __restrict wb = &weights_b[static_cast<size_t>(row_b) * n];
    const int32_t* __restrict x = inputs.data();
    int64_t dot_a = 0;
    int64_t dot_b = 0;
    for (int i = 0; i < n; ++i) {
      dot_a += int64_t{x[i]} * wa[i];
      dot_b += int64_t{x[i]} * wb[i];
    }
    return squash_dots(dot_a, dot_b);
  }

  // Sets each set's own output from its dot product and returns the squashed average.
  int squash_dots(int64_t dot_a, int64_t dot_b) {
    const int s_a = static_cast<int>(std::clamp<int64_t>(dot_a >> 16, -2047, 2047));
    const int s_b = static_cast<int>(std::clamp<int64_t>(dot_b >> 16, -2047, 2047));
    pr_a = squash_lookup(s_a);
    pr_b = squash_lookup(s_b);
    return squash_lookup((s_a + s_b) >> 1);
  }

  // Each set learns from its own output; with a threshold a set skips errors that are small.
  void train(int bit, int32_t threshold) {
    train_row(&weights_a[static_cast<size_t>(row_a) * n], ((bit << 12) - pr_a) * lr, threshold);
    train_row(&weights_b[static_cast<size_t>(row_b) * n], ((bit << 12) - pr_b) * lr, threshold);
    nx = 0;
  }

  int32_t n;
  int32_t lr = 3;
  int32_t row_a = 0;
  int32_t row_b = 0;
  int32_t nx = 0;
  int32_t pr_a = 2048;
  int32_t pr_b = 2048;
  Table<int32_t> weights_a;
  Table<int32_t> weights_b;
  Table<int32_t> inputs;

 private:
  void train_row(int32_t* __restrict w, int32_t err, int32_t threshold) {
    if (err >= -threshold && err <= threshold) return;
    const int32_t* __restrict x = inputs.data();
    for (int i = 0; i < n; ++i) {
      const int32_t v = w[i] + ((x[i] * err) >> 12);
      w[i] = v < -kWeightLimit ? -kWeightLimit : v > kWeightLimit ? kWeightLimit : v;
    }
  }
};

}  // namespace ixo::cm
