// Mixer pair, adaptive probability maps and the choice of the second weight row.
#include <gtest/gtest.h>

#include <vector>

#include "apm.h"
#include "logistic.h"
#include "mixer_pair.h"

namespace ixo::cm {
namespace {

TEST(MixerSelector, BucketTable) {
  struct Case {
    uint32_t bucket2, bucket1;
    int selector;
  };
  const Case cases[] = {{0, 0, 0},   {0, 1, 256},  {0, 15, 256}, {0, 16, 512},  {0, 23, 512}, {0, 24, 768},
                        {0, 31, 768}, {1, 0, 512}, {15, 31, 512}, {7, 20, 512}, {16, 0, 768}, {31, 3, 768}};
  for (const Case& c : cases)
    EXPECT_EQ(mixer_selector(c.bucket1, c.bucket2), c.selector) << c.bucket2 << "," << c.bucket1;
}

TEST(MixerPair, OutputsStayInsideTheProbabilityRange) {
  MixerPair m(2);
  m.inputs[0] = 2047;
  m.inputs[1] = 2047;
  for (size_t i = 0; i < 2 * 256; ++i) m.weights_a[i] = MixerPair::kWeightLimit;
  for (size_t i = 0; i < 2 * 1024; ++i) m.weights_b[i] = -MixerPair::kWeightLimit;
  const int p = m.mix(3, 5);
  EXPECT_EQ(m.pr_a, 4095);
  EXPECT_EQ(m.pr_b, 1);
  EXPECT_EQ(p, squash(0));
}

TEST(MixerPair, WeightsStopAtTheirBounds) {
  MixerPair m(1);
  m.inputs[0] = 2047;
  m.mix(0, 0);
  m.weights_a[0] = MixerPair::kWeightLimit - 10;
  m.weights_b[0] = -MixerPair::kWeightLimit + 10;
  m.pr_a = 1;     // error (4096 - 1) x 3 pushes up
  m.pr_b = 4095;  // error -4095 x 3 pushes down
  m.train(1, -1);
  EXPECT_EQ(m.weights_a[0], MixerPair::kWeightLimit);
  m.train(0, -1);
  EXPECT_EQ(m.weights_b[0], -MixerPair::kWeightLimit);
  EXPECT_EQ(m.nx, 0);
}

TEST(MixerPair, TrainingStepRoundsTowardMinusInfinity) {
  MixerPair m(2);
  m.inputs[0] = 5;
  m.inputs[1] = -5;
  m.mix(0, 0);
  m.pr_a = 2048;  // bit 0: error -2048 x 3 = -6144
  m.pr_b = 2048;
  m.train(0, -1);
  // 5 x -6144 >> 12 = -7.5 -> -8; -5 x -6144 >> 12 = 7.5 -> 7.
  EXPECT_EQ(m.weights_a[0], 16384 - 8);
  EXPECT_EQ(m.weights_a[1], 16384 + 7);
}

TEST(MixerPair, ThresholdSkipsSmallErrors) {
  const std::pair<int, bool> cases[] = {{4064, false}, {4063, true}, {4096 - 1, false}};  // errors 96, 99, 3
  for (const auto& [pr, trained] : cases) {
    MixerPair m(1);
    m.inputs[0] = 1000;
    m.mix(0, 0);
    m.pr_a = pr;
    m.pr_b = pr;
    m.train(1, 96);
    EXPECT_EQ(m.weights_a[0] != MixerPair::kWeightInit, trained) << pr;
  }
}

TEST(APM, InitialPointsAndUpdate) {
  APM apm(2);
  EXPECT_EQ(apm.table[33 + 0], 16);
  EXPECT_EQ(apm.table[33 + 16], 32768);
  EXPECT_EQ(apm.table[33 + 31], 65504);
  EXPECT_EQ(apm.table[33 + 32], 65520);
  // st = 0: lower point 16, weight 0.
  EXPECT_EQ(apm.refine(0, 1), 2048);
  EXPECT_EQ(apm.idx, 33u + 16);
  EXPECT_EQ(apm.wt, 0);
  apm.update(0);
  // (128 x (0 - 32768)) >> 14 = -256; the upper point gets weight 0.
  EXPECT_EQ(apm.table[33 + 16], 32768 - 256);
  EXPECT_EQ(apm.table[33 + 17], 16 * kKnots[17]);
  // A negative stretched value: st = -1 has weight 127 on point 15 and 16.
  apm.refine(-1, 1);
  EXPECT_EQ(apm.idx, 33u + 15);
  EXPECT_EQ(apm.wt, 127);
  const int32_t lower = apm.table[33 + 15];
  apm.update(1);
  EXPECT_EQ(apm.table[33 + 15], lower + ((1 * (65535 - lower)) >> 14));
  // Extremes stay inside 1..4095.
  EXPECT_GE(apm.refine(-2047, 0), 1);
  EXPECT_LE(apm.refine(1984, 0), 4095);
}

TEST(APM, PointsMatchWideArithmeticUpToBothEnds) {
  // Long runs of one bit drive the points to the ends of their range, where a narrower store
  // would wrap or a rounding would step past 0 or 65535; every point is checked against the
  // same update done in 32 bits after every bit.
  struct Case {
    int st;
    int ones_per_eight;  // bits of each group of eight that are 1, the rest 0
  };
  const Case cases[] = {{-2047, 8}, {-2047, 0}, {0, 8}, {0, 0}, {-1, 8}, {1984, 8}, {1984, 0}, {700, 4}, {-900, 1}};
  for (const Case& c : cases) {
    APM apm(1);
    std::vector<int32_t> wide(apm.table.data(), apm.table.data() + APM::kPoints);
    for (int i = 0; i < 6000; ++i) {
      const int bit = (i % 8) < c.ones_per_eight ? 1 : 0;
      apm.refine(c.st, 0);
      const size_t j = apm.idx;
      const int32_t wt = apm.wt;
      const int32_t target = bit ? 65535 : 0;
      wide[j] += ((128 - wt) * (target - wide[j])) >> 14;
      wide[j + 1] += ((target - wide[j + 1]) * wt) >> 14;
      apm.update(bit);
      ASSERT_EQ(apm.table[j], wide[j]) << "st=" << c.st << " step " << i;
      ASSERT_EQ(apm.table[j + 1], wide[j + 1]) << "st=" << c.st << " step " << i;
      ASSERT_GE(wide[j], 0);
      ASSERT_LE(wide[j + 1], 65535);
    }
    const int p = apm.refine(c.st, 0);
    EXPECT_GE(p, 1);
    EXPECT_LE(p, 4095);
  }
}

}  // namespace
}  // namespace ixo::cm
