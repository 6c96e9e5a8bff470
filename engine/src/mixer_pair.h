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

// One weight of a row moved by err (the scaled error) times input x, and kept within -limit..limit: the training
// step of both the plain loop and the vector one.
constexpr int32_t trained_weight(int32_t w, int32_t x, int32_t err, int32_t limit) {
  const int32_t v = w + ((x * err) >> 12);
  return v < -limit ? -limit : v > limit ? limit : v;
}

class MixerPair {
 public:
  static constexpr int kRowsA = 256;
  static constexpr int kRowsB = 1024;
  static constexpr int32_t kWeightInit = 16384;  // 0.25 with 65536 as 1.0
  static constexpr int32_t kWeightLimit = 4194304;

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
    if (const int32_t err = error_a(bit); learns(err, threshold)) train_row(row_weights_a(n), err);
    if (const int32_t err = error_b(bit); learns(err, threshold)) train_row(row_weights_b(n), err);
    nx = 0;
  }

  // The pieces of train that the vector path shares; it moves the rows with its own loop (trained_weight in
  // every lane). Each set's error, scaled by the learning rate:
  int32_t error_a(int bit) const { return ((bit << 12) - pr_a) * lr; }
  int32_t error_b(int bit) const { return ((bit << 12) - pr_b) * lr; }
  // whether a set learns from it at all:
  static bool learns(int32_t err, int32_t threshold) { return err < -threshold || err > threshold; }
  // and the row of each set that the last mix used, for a width that is always n (the vector path passes it as
  // the constant it is there).
  int32_t* row_weights_a(int32_t width) { return &weights_a[static_cast<size_t>(row_a) * width]; }
  int32_t* row_weights_b(int32_t width) { return &weights_b[static_cast<size_t>(row_b) * width]; }

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
  void train_row(int32_t* __restrict w, int32_t err) {
    const int32_t* __restrict x = inputs.data();
    for (int i = 0; i < n; ++i) w[i] = trained_weight(w[i], x[i], err, kWeightLimit);
  }
};

}  // namespace ixo::cm
