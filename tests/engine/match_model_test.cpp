// Match models: length buckets, candidate verification, misses and the per-bit inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "logistic.h"
#include "match_model.h"
#include "model_driver.h"

namespace ixo::cm {
namespace {

using testing::feed;
using testing::feed_byte;

constexpr uint32_t kHit = 5;  // the hash that makes the two occurrences meet

// A match model over a history of its own, with hashes chosen by the test.
struct Harness {
  explicit Harness(uint32_t min_len, size_t capacity = 4096) : m(17, min_len), history(capacity) {}
  // Bytes whose hashes collide with nothing.
  void push(uint8_t b) { push(b, 0x10000u + static_cast<uint32_t>(pos)); }
  void push(uint8_t b, uint32_t hash) {
    history[pos++] = b;
    m.update_byte(history.data(), pos, hash);
  }
  void push_all(std::string_view s) {
    for (const char ch : s) push(static_cast<uint8_t>(ch));
  }
  uint32_t predict(uint32_t c0, int bit_count, int32_t (&in)[3]) {
    int nx = 0;
    const uint32_t bucket = m.predict(history.data(), c0, bit_count, stretch_table(), in, nx);
    EXPECT_EQ(nx, 3);
    return bucket;
  }
  MatchModel m;
  std::vector<uint8_t> history;
  uint64_t pos = 0;
};

size_t used_entries(const MatchModel& m) {
  return static_cast<size_t>(std::count_if(m.table.data(), m.table.data() + m.table.size(),
                                           [](uint32_t v) { return v != 0; }));
}

TEST(MatchBucket, ListedLengths) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 0},   {1, 1},   {15, 15},  {16, 16},  {20, 17},
                                                 {31, 19}, {32, 20}, {63, 23},  {64, 24},  {128, 25},
                                                 {511, 30}, {512, 31}, {65535, 31}};
  for (const auto& [len, bucket] : cases) EXPECT_EQ(match_bucket(len), bucket) << "len=" << len;
  EXPECT_EQ(match_class(match_bucket(15)), 1u);
  EXPECT_EQ(match_class(match_bucket(16)), 2u);
  EXPECT_EQ(match_class(match_bucket(63)), 2u);
  EXPECT_EQ(match_class(match_bucket(64)), 3u);
}

TEST(MatchModel, TableStaysEmptyUntilTheContextIsComplete) {
  const auto model = testing::small_model(1);
  const std::string_view text = "abcdefghijklmnopqrstuvwxyz";
  for (size_t i = 0; i < text.size(); ++i) {
    feed_byte(*model, static_cast<uint8_t>(text[i]));
    const size_t pos = i + 1;
    EXPECT_EQ(used_entries(model->match1), pos < 6 ? 0 : pos - 5) << "pos=" << pos;
    EXPECT_EQ(used_entries(model->match2), pos < 24 ? 0 : pos - 23) << "pos=" << pos;
  }
}

TEST(MatchModel, CandidateNeedsMinLenVerifiedBytes) {
  struct Case {
    std::string_view first, second;
    bool taken;
  };
  const Case cases[] = {{"012345", "012345", true}, {"012345", "912345", false}};
  for (const Case& c : cases) {
    Harness h(6);
    for (size_t i = 0; i + 1 < c.first.size(); ++i) h.push(static_cast<uint8_t>(c.first[i]));
    h.push(static_cast<uint8_t>(c.first.back()), kHit);
    h.push('!');
    for (size_t i = 0; i + 1 < c.second.size(); ++i) h.push(static_cast<uint8_t>(c.second[i]));
    h.push(static_cast<uint8_t>(c.second.back()), kHit);
    EXPECT_EQ(h.m.active, c.taken) << c.second;
    if (c.taken) {
      EXPECT_EQ(h.m.len, 6u);
      EXPECT_EQ(h.m.ptr, 6u);  // the byte after the earlier occurrence
      EXPECT_EQ(h.m.miss, 0u);
    }
    EXPECT_EQ(h.m.table[kHit], 13u);  // the newest position, taken or not
  }
}

TEST(MatchModel, VerifiedLengthIsBoundedByCandidateAnd400) {
  const std::pair<uint64_t, uint32_t> cases[] = {{6, 6}, {300, 300}, {500, 400}};
  for (const auto& [first_hit, want] : cases) {
    Harness h(6, 2000);
    while (h.pos + 1 < first_hit) h.push('a');
    h.push('a', kHit);
    while (h.pos + 1 < 1000) h.push('b' + (h.pos & 1));  // no accidental run of 'a'
    // 'a' * first_hit again so the backward comparison runs as far as it may.
    for (uint64_t i = 0; i + 1 < first_hit; ++i) h.push('a');
    h.push('a', kHit);
    EXPECT_TRUE(h.m.active);
    EXPECT_EQ(h.m.len, want) << "first hit at " << first_hit;
  }
}

TEST(MatchModel, CommonSuffixStopsAtTheFirstDifferenceFromTheEnd) {
  // Two equal runs of 40 bytes; one byte of the second is changed at `differs` bytes before its
  // end (none when 40 or more): the count is that distance, or the limit when it comes first.
  struct Case {
    uint32_t differs, limit, want;
  };
  const Case cases[] = {{0, 40, 0},  {1, 40, 1},   {7, 40, 7},   {8, 40, 8},  {9, 40, 9},
                        {15, 40, 15}, {16, 40, 16}, {33, 40, 33}, {40, 40, 40}, {40, 13, 13},
                        {20, 8, 8},  {20, 21, 20},  {39, 39, 39}, {40, 0, 0},  {5, 3, 3}};
  for (const Case& c : cases) {
    std::vector<uint8_t> a(40);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i * 37 + 11);
    std::vector<uint8_t> b = a;
    if (c.differs < 40) b[39 - c.differs] ^= (c.differs & 1) != 0 ? 0x01 : 0x80;
    EXPECT_EQ(common_suffix(a.data() + 40, b.data() + 40, c.limit), c.want)
        << "differs=" << c.differs << " limit=" << c.limit;
  }
}

// A taken match of length 6 on "012345" followed by its continuation "6789...".
Harness matched() {
  Harness h(6);
  h.push_all("01234");
  h.push('5', kHit);
  h.push_all("6789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  h.push('#');
  h.push_all("01234");
  h.push('5', kHit);
  return h;
}

TEST(MatchModel, WrongBytesKeepTheMatchUntilTheNinthMiss) {
  Harness h = matched();
  ASSERT_TRUE(h.m.active);
  for (uint32_t miss = 1; miss <= 9; ++miss) {
    const uint64_t ptr = h.m.ptr;
    h.push('?');
    EXPECT_EQ(h.m.len, 0u);
    EXPECT_EQ(h.m.miss, miss);
    EXPECT_EQ(h.m.active, miss < 9) << "miss " << miss;
    EXPECT_EQ(h.m.ptr, ptr + 1);  // advances also when dropped
    if (miss == 1) {
      // Length 0 still predicts: bucket 0 but a ctr1 input and a class-1 ctr2 entry.
      int32_t in[3];
      const uint32_t e = h.history[h.m.ptr];
      EXPECT_EQ(h.predict(1, 0, in), 0u);
      EXPECT_TRUE(h.m.ctr1_used);
      EXPECT_EQ(h.m.ctr2_cur, &h.m.ctr2[1 | (e << 8) | (1u << 16)]);
    }
  }
}

TEST(MatchModel, LongCorrectRunForgivesMisses) {
  Harness h(6, 200);
  h.push_all("01234");
  h.push('5', kHit);
  h.push_all("6789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghij");
  h.push('#');
  h.push_all("01234");
  h.push('5', kHit);
  h.push('?');  // miss 1, len 0
  h.push_all("789ABCDEFGHIJKL");  // follows on from the predicted position
  ASSERT_EQ(h.m.len, 15u);
  EXPECT_EQ(h.m.miss, 1u);  // correct bytes at len 0..14 do not forgive
  h.push('M');              // correct at len 15: forgiven
  EXPECT_EQ(h.m.miss, 0u);
  EXPECT_EQ(h.m.len, 16u);
}

TEST(MatchModel, LengthStopsAt65535) {
  Harness h(6, 70100);
  h.push_all("aaaaa");
  h.push('a', kHit);
  h.push_all("aaaaa");
  h.push('a', kHit);
  ASSERT_TRUE(h.m.active);
  while (h.pos < 70000) h.push('a');
  EXPECT_EQ(h.m.len, 65535u);
  EXPECT_TRUE(h.m.active);
}

TEST(MatchModel, PredictionInputs) {
  Harness h = matched();
  // Predicted byte '6' = 0x36 = 0011 0110.
  ASSERT_EQ(h.history[h.m.ptr], '6');
  int32_t in[3];
  EXPECT_EQ(h.predict(1, 0, in), 6u);  // bucket of length 6
  EXPECT_EQ(h.m.ctr1_index, (0u << 1) | (6u << 3) | 0u);
  EXPECT_EQ(in[0], stretch(kCounterInit >> 20));
  EXPECT_EQ(in[1], -6 * 64);  // predicted bit 0
  EXPECT_EQ(h.m.ctr2_cur, &h.m.ctr2[1 | (0x36u << 8) | (1u << 16)]);

  // Partial byte 001 agrees with '6'; the next predicted bit is 1.
  EXPECT_EQ(h.predict(0b1001, 3, in), 6u);
  EXPECT_EQ(in[1], 6 * 64);

  // Partial byte 01 contradicts it: no prediction for the rest of the byte.
  for (const auto& [c0, bits] : {std::pair{0b101u, 2}, std::pair{0b1011u, 3}, std::pair{0b10110u, 4}}) {
    EXPECT_EQ(h.predict(c0, bits, in), 0u);
    EXPECT_TRUE(h.m.failed);
    EXPECT_FALSE(h.m.ctr1_used);
    EXPECT_EQ(in[0], 0);
    EXPECT_EQ(in[1], 0);
    EXPECT_EQ(h.m.ctr2_cur, &h.m.ctr2[c0]);  // class 0
  }
  h.push('x');  // the byte end clears failed
  EXPECT_FALSE(h.m.failed);
}

}  // namespace
}  // namespace ixo::cm
