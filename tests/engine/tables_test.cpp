// Counters, the logistic tables, the hash finaliser and the CRC-32.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "counter.h"
#include "crc32.h"
#include "hash.h"
#include "logistic.h"

namespace ixo::cm {
namespace {

uint32_t prob(uint32_t v) { return v >> 10; }
uint32_t count(uint32_t v) { return v & 1023; }

TEST(Reciprocals, ListedEntries) {
  const std::pair<size_t, uint32_t> cases[] = {{0, 43690}, {1, 26214}, {2, 18724}, {3, 14563},
                                               {4, 11915}, {5, 10082}, {255, 255}, {1023, 63}};
  for (const auto& [n, want] : cases) EXPECT_EQ(kRecip[n], want) << "n=" << n;
}

TEST(Knots, MatchTheLogisticCurve) {
  // The stored integers are the definition; the formula only guards against a typo.
  for (int i = 0; i < 33; ++i)
    EXPECT_EQ(kKnots[i], std::lround(4096.0 / (1.0 + std::exp(-(i - 16) / 2.0)))) << "i=" << i;
  EXPECT_EQ(kKnots[0], 1);
  EXPECT_EQ(kKnots[16], 2048);
  EXPECT_EQ(kKnots[32], 4095);
}

TEST(Squash, ListedValues) {
  const std::pair<int, int> cases[] = {{-2047, 1}, {-1, 2044}, {0, 2048}, {1, 2052}, {2047, 4095}};
  for (const auto& [d, want] : cases) EXPECT_EQ(squash(d), want) << "d=" << d;
}

TEST(Squash, NeverDecreases) {
  for (int d = -2047; d < 2047; ++d) ASSERT_LE(squash(d), squash(d + 1)) << "d=" << d;
}

TEST(Stretch, ListedEntries) {
  const std::pair<int, int> cases[] = {{0, -2047},   {1, -2047}, {2, -1984}, {100, -953}, {1000, -292},
                                       {2047, 0},    {2048, 0},  {2049, 1},  {3000, 258}, {4094, 1888},
                                       {4095, 1984}};
  for (const auto& [p, want] : cases) {
    EXPECT_EQ(stretch(p), want) << "p=" << p;
    EXPECT_EQ(stretch_table()[p], want) << "p=" << p;
  }
}

TEST(Stretch, IsTheSmallestInverseOfSquash) {
  for (int p = 0; p < 4096; ++p) {
    const int d = stretch(p);
    ASSERT_GE(squash(d), p) << "p=" << p;
    if (d > -2047) {
      ASSERT_LT(squash(d - 1), p) << "p=" << p;
    }
  }
}

TEST(Counter, FirstUpdateFromInit) {
  for (const uint32_t limit : {kLimitFast, kLimitSlow}) {
    uint32_t zero = kCounterInit;
    counter_update(zero, 0, limit);
    EXPECT_EQ(prob(zero), 699072u);
    EXPECT_EQ(count(zero), 1u);
    uint32_t one = kCounterInit;
    counter_update(one, 1, limit);
    EXPECT_EQ(prob(one), 3495231u);
    EXPECT_EQ(count(one), 1u);
  }
}

TEST(Counter, CountSaturatesAtItsLimit) {
  uint32_t fast = kCounterInit;
  uint32_t slow = kCounterInit;
  for (int i = 0; i < 2000; ++i) {
    counter_update(fast, i & 1, kLimitFast);
    counter_update(slow, i & 1, kLimitSlow);
    ASSERT_EQ(count(fast), std::min<uint32_t>(i + 1, 255));
    ASSERT_EQ(count(slow), std::min<uint32_t>(i + 1, 1023));
  }
}

TEST(Counter, ApproachesTargetsWithoutPassingThem) {
  for (const uint32_t limit : {kLimitFast, kLimitSlow}) {
    uint32_t up = kCounterInit;
    uint32_t down = kCounterInit;
    uint32_t last_up = prob(up);
    uint32_t last_down = prob(down);
    for (int i = 0; i < 5000; ++i) {
      counter_update(up, 1, limit);
      counter_update(down, 0, limit);
      ASSERT_GE(prob(up), last_up);
      ASSERT_LE(prob(up), 4194303u);
      ASSERT_LE(prob(down), last_down);
      last_up = prob(up);
      last_down = prob(down);
    }
    EXPECT_GT(prob(up), 4190000u);
    EXPECT_LT(prob(down), 4000u);
  }
}

TEST(Counter, FallingProbabilityRoundsTowardMinusInfinity) {
  // p = 1000, n = 1023: the change is 63 * -1000 / 65536 = -0.96..., which floors to -1.
  uint32_t v = (1000u << 10) | 1023u;
  counter_update(v, 0, kLimitSlow);
  EXPECT_EQ(prob(v), 999u);
  // A rising one rounds down too: 63 * (4194303 - 4194000) / 65536 = 0.29... gives no change.
  uint32_t w = (4194000u << 10) | 1023u;
  counter_update(w, 1, kLimitSlow);
  EXPECT_EQ(prob(w), 4194000u);
}

TEST(Hash, Finaliser) {
  EXPECT_EQ(fmix(0), 0u);
  EXPECT_EQ(fmix(1), 0x2C1A5CB4u);
}

TEST(Hash, Salts) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {2, 0x3C6EF362},  {3, 0xDAA66D13},  {4, 0x78DDE6C4},  {6, 0xB54CDA26},  {7, 0x538453D7},  {8, 0xF1BBCD88},
      {9, 0x8FF34739},  {10, 0x2E2AC0EA}, {12, 0x6A99B44C}, {14, 0xA708A7AE}, {15, 0x4540215F}, {20, 0x5C5581D4},
      {21, 0xFA8CFB85}, {22, 0x98C47536}, {23, 0x36FBEEE7}, {24, 0xD5336898}};
  for (const auto& [k, want] : cases) EXPECT_EQ(salt(k), want) << "k=" << k;
}

TEST(Crc32, KnownValues) {
  const char* check = "123456789";
  EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>(check), std::strlen(check)), 0xCBF43926u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  // Every length around the eight-byte steps agrees with the byte-at-a-time definition.
  uint8_t data[40];
  for (int i = 0; i < 40; ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
  for (size_t len = 0; len <= sizeof data; ++len) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i) {
      crc ^= data[i];
      for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    EXPECT_EQ(crc32(data, len), ~crc) << "len=" << len;
  }
}

}  // namespace
}  // namespace ixo::cm
