#include "transform/limited_vec.h"

#include <gtest/gtest.h>

namespace ixo::transform {
namespace {

std::vector<uint8_t> bytes(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

TEST(LimitedVec, TakesWritesUpToItsLimitAndRefusesTheNextWhole) {
  LimitedVec out(10);
  ASSERT_TRUE(out.write_all(bytes(4, 1)));
  ASSERT_TRUE(out.write_all(bytes(6, 2)));
  auto refused = out.write_all(bytes(1, 3));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidData);
  EXPECT_EQ(refused.error().to_string(), "transform output exceeds limit");
  EXPECT_FALSE(out.out_of_memory());
  // The bytes before the refusal stay, and an empty write still succeeds at the limit.
  EXPECT_TRUE(out.write_all({}));
  std::vector<uint8_t> expected = bytes(4, 1);
  expected.insert(expected.end(), 6, 2);
  EXPECT_EQ(out.take(), expected);
}

TEST(LimitedVec, AWriteThatWouldCrossTheLimitLandsNotAtAll) {
  LimitedVec out(5);
  ASSERT_TRUE(out.write_all(bytes(3, 7)));
  EXPECT_FALSE(out.write_all(bytes(3, 8)));
  EXPECT_EQ(out.size(), 3u);
  EXPECT_TRUE(out.write_all(bytes(2, 9)));  // what still fits is taken
  EXPECT_EQ(out.bytes(), (std::vector<uint8_t>{7, 7, 7, 9, 9}));
}

TEST(LimitedVec, LimitZeroAcceptsOnlyEmptyWrites) {
  LimitedVec out(0);
  EXPECT_TRUE(out.write_all({}));
  EXPECT_FALSE(out.write_all(bytes(1, 0)));
  EXPECT_TRUE(out.take().empty());
}

TEST(LimitedVec, NeverReservesPastItsLimit) {
  LimitedVec out(1000);
  out.reserve(1 << 30);
  EXPECT_LE(out.bytes().capacity(), 1000u);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(out.write_all(bytes(10, uint8_t(i))));
  EXPECT_EQ(out.size(), 1000u);
  EXPECT_LE(out.bytes().capacity(), 1000u);
}

TEST(LimitedVec, BridgeSinkReportsRefusalAsFalse) {
  LimitedVec out(2);
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_TRUE(LimitedVec::sink(&out, data, 2));
  EXPECT_FALSE(LimitedVec::sink(&out, data, 1));
  EXPECT_TRUE(LimitedVec::sink(&out, nullptr, 0));
  EXPECT_FALSE(LimitedVec::sink(nullptr, data, 1));
  EXPECT_EQ(out.bytes(), (std::vector<uint8_t>{1, 2}));
}

}  // namespace
}  // namespace ixo::transform
