#include "match_model.h"

#include <bit>
#include <cstring>

namespace ixo::cm {
namespace {

constexpr uint32_t kMatch1Salt = 0x5DAD7C9Fu;
constexpr uint32_t kMatch2Salt = 0xCCF9480Bu;
constexpr uint32_t kMatch2Step = 0x2F0B4C27u;
constexpr uint32_t kMatch2Len = 24;

}  // namespace

uint32_t match1_hash(uint32_t c4, uint32_t c8) {
  return fmix((c4 * kHashG) ^ ((c8 & 0xFFFFu) * kHashA) ^ kMatch1Salt);
}

uint32_t match2_hash(const uint8_t* history, uint64_t pos) {
  if (pos < kMatch2Len) return 0;
  uint32_t hh = 0;
  for (const uint8_t* p = history + (pos - kMatch2Len); p != history + pos; ++p)
    hh = (hh + *p) * kMatch2Step + kMatch2Step;
  return fmix((hh * kHashG) ^ kMatch2Salt);
}

namespace {

constexpr uint32_t step_power(int k) {
  uint32_t v = 1;
  for (int i = 0; i < k; ++i) v *= kMatch2Step;
  return v;
}

}  // namespace

uint32_t RollingMatch2Hash::next_sum(const uint8_t* history, uint64_t pos, uint32_t c) const {
  // sum = sum over the window of (byte + 1) x step^(distance from the end + 1).
  uint32_t sum = sum_;
  if (pos > kMatch2Len) sum -= (history[pos - 1 - kMatch2Len] + 1u) * step_power(kMatch2Len);
  return (sum + c + 1u) * kMatch2Step;
}

uint32_t RollingMatch2Hash::push(const uint8_t* history, uint64_t pos) {
  sum_ = next_sum(history, pos, history[pos - 1]);
  return pos < kMatch2Len ? 0 : fmix((sum_ * kHashG) ^ kMatch2Salt);
}

uint32_t RollingMatch2Hash::peek(const uint8_t* history, uint64_t pos, uint32_t c) const {
  const uint32_t sum = next_sum(history, pos + 1, c);
  return pos + 1 < kMatch2Len ? 0 : fmix((sum * kHashG) ^ kMatch2Salt);
}

MatchModel::MatchModel(int bits, uint32_t min_len_)
    : mask((uint32_t{1} << bits) - 1),
      min_len(min_len_),
      table(size_t{1} << bits, 0),
      ctr1(256, kCounterInit),
      ctr2(262144, kCounterInit),
      ctr2_cur(ctr2.data()) {}

void MatchModel::follow(const uint8_t* history, uint64_t pos, uint32_t hash) {
  failed = false;
  if (active) {
    if (history[ptr] == history[pos - 1]) {
      if (len < kMaxLen) {
        if (len >= 15) miss = 0;
        ++len;
      } else {
        miss = 0;
      }
    } else {
      len = 0;
      if (++miss >= kMaxMisses) active = false;
    }
    ++ptr;
  }
  if (pos < min_len) return;
  uint32_t& slot = table[hash & mask];
  // A match long enough is kept whatever the slot holds, so the slot is only written: its line
  // need not be waited for.
  if (active && len >= min_len) {
    slot = static_cast<uint32_t>(pos);
    return;
  }
  const uint32_t cand = slot;
  slot = static_cast<uint32_t>(pos);
  if (cand == 0 || (active && cand == ptr)) return;
  const uint32_t k = common_suffix(history + cand, history + pos, cand < kMaxVerify ? cand : kMaxVerify);
  if (k >= min_len && k > len) {
    ptr = cand;
    len = k;
    miss = 0;
    active = true;
  }
}

uint32_t common_suffix(const uint8_t* a_end, const uint8_t* b_end, uint32_t limit) {
  static_assert(std::endian::native == std::endian::little);
  uint32_t k = 0;
  // Eight bytes at a time: the first difference from the end is the highest differing byte of
  // the little-endian words.
  while (k + 8 <= limit) {
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, a_end - k - 8, 8);
    std::memcpy(&b, b_end - k - 8, 8);
    if (a != b) return k + static_cast<uint32_t>(__builtin_clzll(a ^ b)) / 8;
    k += 8;
  }
  while (k < limit && a_end[-1 - static_cast<int64_t>(k)] == b_end[-1 - static_cast<int64_t>(k)]) ++k;
  return k;
}

}  // namespace ixo::cm
