// Follows the last earlier occurrence of the current context and predicts the byte after it.
#pragma once

#include <cstdint>

#include "counter.h"
#include "hash.h"
#include "table_memory.h"

namespace ixo::cm {

// Length bucket 0..31 of a match length.
constexpr uint32_t match_bucket(uint32_t len) {
  if (len < 16) return len;
  if (len < 32) return 16 + (len - 16) / 4;
  if (len < 64) return 20 + (len - 32) / 8;
  const uint32_t over = (len - 64) / 64;
  return 24 + (over < 7 ? over : 7);
}

// 1 below length 16, 2 for 16..63, 3 from 64 on; 0 is kept for "no prediction".
constexpr uint32_t match_class(uint32_t bucket) { return 1 + (bucket > 15) + (bucket > 23); }

// Hash of the last six bytes, the context of the short match model.
uint32_t match1_hash(uint32_t c4, uint32_t c8);
// Hash of the last 24 bytes, the context of the long match model; 0 (unused) before 24 bytes.
uint32_t match2_hash(const uint8_t* history, uint64_t pos);

// How many bytes before a_end equal those before b_end, counted backwards, at most limit (both
// ranges must hold limit bytes).
uint32_t common_suffix(const uint8_t* a_end, const uint8_t* b_end, uint32_t limit);

// match2_hash kept up to date byte by byte instead of recomputed over 24 bytes: the inner sum is
// a polynomial in the step constant, so the term of the byte that leaves the window can be
// taken out again.
class RollingMatch2Hash {
 public:
  // Call once per byte, after history[pos - 1] was appended; returns match2_hash(history, pos).
  uint32_t push(const uint8_t* history, uint64_t pos);
  // What push would return once c is appended at history[pos], without changing the sum.
  uint32_t peek(const uint8_t* history, uint64_t pos, uint32_t c) const;

 private:
  // The sum once byte c is appended and the history holds pos bytes.
  uint32_t next_sum(const uint8_t* history, uint64_t pos, uint32_t c) const;

  uint32_t sum_ = 0;
};

class MatchModel {
 public:
  static constexpr uint32_t kMaxLen = 65535;
  static constexpr uint32_t kMaxVerify = 400;
  static constexpr uint32_t kMaxMisses = 9;
  static constexpr int kInputs = 3;  // the mixer inputs each model gives

  MatchModel(int bits, uint32_t min_len);

  // Appends kInputs mixer inputs at inputs[nx..nx+2] and returns the length bucket
  // (0 when there is no prediction).
  uint32_t predict(const uint8_t* history, uint32_t c0, int bit_count, const int16_t* stretch_tab,
                   int32_t* inputs, int& nx) {
    (void)history;  // the expected byte was taken from it at the last byte end
    const uint32_t bucket = predict_into(c0, bit_count, stretch_tab, inputs + nx);
    nx += kInputs;
    return bucket;
  }
  // The same, writing out[0..2]: the model's own path, which keeps the input count in a register.
  uint32_t predict_into(uint32_t c0, int bit_count, const int16_t* stretch_tab, int32_t* out) {
    ctr1_used = false;
    if (active && !failed) {
      if (((expected | 256u) >> (8 - bit_count)) == c0) {
        const uint32_t bit = (expected >> (7 - bit_count)) & 1u;
        ctr1_index = ctr1_base | bit;
        ctr1_used = true;
        out[0] = stretch_tab[ctr1[ctr1_index] >> 20];
        out[1] = bit ? strength : -strength;
        ctr2_cur = &ctr2[c0 | ctr2_base];
        out[2] = stretch_tab[*ctr2_cur >> 20];
        return bucket;
      }
      failed = true;
    }
    out[0] = 0;
    out[1] = 0;
    ctr2_cur = &ctr2[c0];
    out[2] = stretch_tab[*ctr2_cur >> 20];
    return 0;
  }
  void update_bit(int bit) {
    if (ctr1_used) counter_update(ctr1[ctr1_index], bit, kLimitSlow);
    counter_update(*ctr2_cur, bit, kLimitSlow);
  }
  // pos is the history length after the byte just decoded was appended.
  void update_byte(const uint8_t* history, uint64_t pos, uint32_t hash) {
    follow(history, pos, hash);
    // What the bits of the next byte are compared with and where they count; fixed until the
    // next byte end.
    if (active) {
      expected = history[ptr];
      bucket = match_bucket(len);
      strength = static_cast<int32_t>(bucket) * 64;
      ctr1_base = ((miss < 3 ? miss : 3) << 1) | (bucket << 3);
      ctr2_base = (expected << 8) | (match_class(bucket) << 16);
    }
  }

  static uint64_t memory_bytes(int bits) { return (uint64_t{4} << bits) + 1024 + (1u << 20); }

  uint32_t mask;
  uint32_t min_len;
  Table<uint32_t> table;
  Table<uint32_t> ctr1;
  Table<uint32_t> ctr2;
  uint32_t* ctr2_cur;
  uint32_t len = 0;
  uint32_t miss = 0;
  uint64_t ptr = 0;
  uint32_t ctr1_index = 0;
  bool ctr1_used = false;
  bool active = false;
  bool failed = false;
  // Set at each byte end while active, from history[ptr], len and miss.
  uint32_t expected = 0;
  uint32_t bucket = 0;
  int32_t strength = 0;
  uint32_t ctr1_base = 0;
  uint32_t ctr2_base = 0;

 private:
  void follow(const uint8_t* history, uint64_t pos, uint32_t hash);
};

}  // namespace ixo::cm
