// Model state: construction, the first prediction, slot buckets, word hashes, memory by level.
#include <gtest/gtest.h>

#include <algorithm>

#include "hash.h"
#include "logistic.h"
#include "model.h"
#include "model_driver.h"

namespace ixo::cm {
namespace {

using testing::feed;

int64_t dot(const MixerPair& m, const Table<int32_t>& weights, int row) {
  int64_t sum = 0;
  for (int i = 0; i < m.n; ++i) sum += int64_t{m.inputs[i]} * weights[static_cast<size_t>(row) * m.n + i];
  return sum;
}

TEST(Model, FirstPrediction) {
  struct Case {
    int profile;
    int inputs;
    int64_t dot;
    int pr;
  };
  const Case cases[] = {{1, 36, 7258112, 2479}, {2, 36, 7258112, 2479}, {3, 25, 4194304, 2299}};
  for (const Case& c : cases) {
    const auto m = testing::small_model(c.profile);
    SCOPED_TRACE(c.profile);
    ASSERT_EQ(m->mixer.n, c.inputs);
    EXPECT_EQ(m->mixer.nx, c.inputs);
    EXPECT_EQ(m->mixer.inputs[0], 256);
    for (int i = 1; i < c.inputs; ++i) {
      // Secondary inputs (every second one after the direct pair, up to the match inputs).
      const bool secondary = c.profile < 3 && i >= 4 && i <= 24 && i % 2 == 0;
      EXPECT_EQ(m->mixer.inputs[i], secondary ? 17 : 0) << "input " << i;
    }
    EXPECT_EQ(stretch(2112), 17);
    EXPECT_EQ(dot(m->mixer, m->mixer.weights_a, m->mixer.row_a), c.dot);
    EXPECT_EQ(dot(m->mixer, m->mixer.weights_b, m->mixer.row_b), c.dot);
    EXPECT_EQ(m->mixer.row_a, 1);
    EXPECT_EQ(m->mixer.row_b, 0);
    EXPECT_EQ(m->pr, c.pr);
  }
}

TEST(Model, FreshApmsPassTheProbabilityThrough) {
  APM apm(256);
  EXPECT_EQ(apm.refine(stretch(2479), 1), 2479);
  for (int p = 1; p < 4096; p += 7) EXPECT_NEAR(apm.refine(stretch(p), 0), p, 40) << "p=" << p;
}

TEST(Model, FirstNibbleLooksUpOneHashEverywhere) {
  const auto m = testing::small_model(2);
  const uint32_t h = fmix(1 * kHashA);
  for (int k = 0; k < kContexts; ++k) {
    EXPECT_EQ(m->ctx_hash[k], 0u);
    EXPECT_EQ(m->slot(k)[0], h) << "table " << k;
    const uint32_t* table = m->ctx_tables.data() + size_t{static_cast<uint32_t>(k)} * (m->ctx_mask + 1);
    EXPECT_EQ(m->slot(k), table + (h & m->ctx_mask & ~31u)) << "slot 0 of its bucket";
    EXPECT_EQ(m->sec_index[k], static_cast<uint32_t>(k) * 512 + 0 * 32 + 16);
  }
}

TEST(Model, TablesPerProfile) {
  const auto p1 = testing::small_model(1);
  const auto p2 = testing::small_model(2);
  const auto p3 = testing::small_model(3);
  EXPECT_TRUE(p1->img_tables.empty());
  EXPECT_EQ(p2->img_tables.size(), size_t{5} << 16);
  EXPECT_EQ(p3->img_tables.size(), size_t{5} << 16);
  EXPECT_EQ(p1->sec_maps.size(), 11u * 512);
  EXPECT_TRUE(p3->sec_maps.empty());
  EXPECT_EQ(p3->train_threshold, 96);
  EXPECT_EQ(p1->train_threshold, -1);
  // Column k of a secondary map starts at (2k + 1) / 64 with count 0.
  EXPECT_EQ(p1->sec_maps[0], 1u << 26);
  EXPECT_EQ(p1->sec_maps[15 * 32 + 31], 63u << 26);
  // Profile 3 runs without secondary maps: they stay empty after use.
  feed(*p3, "secondary maps are not used here");
  EXPECT_TRUE(p3->sec_maps.empty());
  const Model empty(1, 0, 1);
  EXPECT_EQ(empty.history.size(), 1u);
  EXPECT_EQ(empty.ctx_tables.size(), size_t{11} << 17);
}

TEST(Model, MemoryByLevel) {
  const std::pair<int, double> listed[] = {{1, 18.5}, {3, 42}, {5, 135}, {6, 259}, {7, 475}, {8, 907}, {9, 1771}};
  const double mib = 1 << 20;
  for (const auto& [level, about] : listed) {
    for (const int profile : {2, 3}) EXPECT_NEAR(Model::memory_bytes(level, 0, profile) / mib, about, 0.6) << level;
    EXPECT_NEAR(Model::memory_bytes(level, 0, 1) / mib, about - 0.625 * (1 << level), 0.6) << level;
  }
  EXPECT_NEAR(Model::memory_bytes(1, 0, 1) / mib, 17.2, 0.1);
  EXPECT_EQ(Model::memory_bytes(4, 1000000, 2) - Model::memory_bytes(4, 0, 2), 1000000u - 1);
}

TEST(ChooseSlot, BucketCases) {
  struct Case {
    const char* name;
    uint32_t tag0, count0, tag1, count1, h;
    int chosen;
    bool replaced;
  };
  const Case cases[] = {
      {"tag in slot 0", 7, 3, 9, 1, 7, 0, false},
      {"tag in slot 1", 7, 3, 9, 1, 9, 1, false},
      {"equal counts replace slot 0", 7, 3, 9, 3, 11, 0, true},
      {"busier slot 0 keeps its place", 7, 5, 9, 3, 11, 1, true},
      {"busier slot 1 keeps its place", 7, 2, 9, 7, 11, 0, true},
  };
  for (const Case& c : cases) {
    uint32_t bucket[32];
    std::fill(bucket, bucket + 32, 0x12345000u);
    bucket[0] = c.tag0;
    bucket[1] = 0x40000000u | c.count0;
    bucket[16] = c.tag1;
    bucket[17] = 0x40000000u | c.count1;
    uint32_t* s = choose_slot(bucket, c.h);
    EXPECT_EQ(s, bucket + 16 * c.chosen) << c.name;
    EXPECT_EQ(s[0], c.h) << c.name;
    EXPECT_EQ(s[2] == kCounterInit, c.replaced) << c.name;
    // The other slot is never touched.
    const uint32_t* other = bucket + 16 * (1 - c.chosen);
    EXPECT_EQ(other[2], 0x12345000u) << c.name;
  }
}

TEST(ChooseSlot, FreshTableMatchesTheInitialValue) {
  uint32_t bucket[32];
  std::fill(bucket, bucket + 32, kCounterInit);
  bucket[5] = 99;  // would be reset by a replacement
  EXPECT_EQ(choose_slot(bucket, 0x80000000u), bucket);
  EXPECT_EQ(bucket[5], 99u);
}

TEST(WordStep, LettersCaseAndSeparators) {
  auto word_of = [](std::string_view s) {
    uint32_t word = 0;
    uint32_t prev = 0;
    for (const char ch : s) word_step(static_cast<uint8_t>(ch), word, prev);
    return std::pair{word, prev};
  };
  const uint32_t abc = ((((0u ^ 'a') * 16777619u) ^ 'b') * 16777619u ^ 'c') * 16777619u;
  EXPECT_EQ(word_of("abc").first, abc);
  EXPECT_EQ(word_of("ABC").first, abc);
  EXPECT_EQ(word_of("aBc").first, abc);
  EXPECT_EQ(word_of("abc").second, 0u);
  EXPECT_EQ(word_of("abc ").first, 0u);
  EXPECT_EQ(word_of("abc ").second, abc);
  EXPECT_EQ(word_of("abc1").second, abc);
  EXPECT_EQ(word_of("abc  .,9").second, abc);  // further non-letters keep the finished word
  EXPECT_EQ(word_of("xy abc ").second, abc);
  EXPECT_EQ(word_of("ab\xC3\xA9").first, ((((0u ^ 'a') * 16777619u ^ 'b') * 16777619u ^ 0xC3u) * 16777619u ^ 0xA9u) *
                                             16777619u);  // bytes from 0x80 continue a word
  EXPECT_EQ(word_of("[").first, 0u);  // 0x5B is no letter
  EXPECT_EQ(word_of("@").first, 0u);
}

TEST(ContextHashes, WordContextFallsBackToLastByte) {
  const auto m = testing::small_model(1);
  feed(*m, "ab");
  EXPECT_NE(m->word, 0u);
  EXPECT_EQ(m->ctx_hash[4], fmix((m->word * kHashA) ^ salt(7)));
  feed(*m, " ");
  EXPECT_EQ(m->word, 0u);
  EXPECT_EQ(m->ctx_hash[4], fmix((uint32_t{' '} * kHashB) ^ salt(7)));
  feed(*m, "7");
  EXPECT_EQ(m->ctx_hash[4], fmix((uint32_t{'7'} * kHashB) ^ salt(7)));
}

TEST(ContextHashes, ExampleAfterEightBytes) {
  const auto m = testing::small_model(1);
  feed(*m, "ABCDEFGH");
  ASSERT_EQ(m->c4, 0x45464748u);
  ASSERT_EQ(m->c8, 0x41424344u);
  ASSERT_EQ(m->pos, 8u);
  const uint32_t A = kHashA, B = kHashB;
  EXPECT_EQ(m->ctx_hash[0], fmix((0x4748u * A) ^ 0x3C6EF362u));
  EXPECT_EQ(m->ctx_hash[1], fmix((0x464748u * A) ^ 0xDAA66D13u));
  EXPECT_EQ(m->ctx_hash[2], fmix((0x45464748u * A) ^ 0x78DDE6C4u));
  EXPECT_EQ(m->ctx_hash[3], fmix((0x45464748u * A) ^ (0x4344u * B) ^ 0xB54CDA26u));
  EXPECT_EQ(m->ctx_hash[6], fmix((0x4700u * A) ^ (0u * B) ^ 0x8FF34739u));  // pos 8: pos & 3 = 0
  EXPECT_EQ(m->ctx_hash[7], fmix((0x45460000u * A) ^ 0x2E2AC0EAu));
  EXPECT_EQ(m->ctx_hash[8], fmix((0x45464748u * A) ^ (0x41424344u * B) ^ 0x6A99B44Cu));
  EXPECT_EQ(m->ctx_hash[5], fmix((m->word * A) ^ (0u * B) ^ 0xF1BBCD88u));
  EXPECT_EQ(m->history[7], 'H');
  EXPECT_EQ(m->c0, 1u);
  EXPECT_EQ(m->bit_count, 0);
}

}  // namespace
}  // namespace ixo::cm
