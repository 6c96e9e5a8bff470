#include "util/decimal.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

namespace {

struct Case {
  double value;
  const char* text;
};

// The digit comes from the exact binary value: 0.05 is slightly above a twentieth, 0.15 and 0.35 slightly below,
// and only values such as 0.25 are exact ties.
constexpr Case CASES[] = {
    {0.0, "0.0"},
    {0.04, "0.0"},
    {0.05, "0.1"},
    {0.15, "0.1"},
    {0.25, "0.2"},
    {0.35, "0.3"},
    {0.45, "0.5"},
    {0.75, "0.8"},
    {9.95, "9.9"},
    {9.96, "10.0"},
    {0.95, "0.9"},
    {1023.95, "1024.0"},
    {1023.9501953125, "1024.0"},
    {12.0, "12.0"},
    {4503599627370495.5, "4503599627370495.5"},
    {4503599627370496.25, "4503599627370496.0"},  // not representable: the double holds ...496.0
    {1e20, "100000000000000000000.0"},
    {5e-324, "0.0"},
    {-0.25, "-0.2"},
};

TEST(OneDecimal, Cases) {
  for (const Case& c : CASES) EXPECT_EQ(ixo::one_decimal(c.value), c.text) << c.value;
  EXPECT_EQ(ixo::one_decimal(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(ixo::one_decimal(std::numeric_limits<double>::max()).size(), 311u);
}

std::string printf_one(double v) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// glibc's printf rounds exactly in the default mode: every double, of every magnitude, must give the same text.
TEST(OneDecimal, MatchesACorrectlyRoundingPrintf) {
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 200000; ++i) {
    const double v = std::bit_cast<double>(random() >> 1);  // any finite or infinite non-negative double
    if (!std::isfinite(v)) continue;
    ASSERT_EQ(ixo::one_decimal(v), printf_one(v)) << std::hexfloat << v;
  }
  for (int i = 0; i < 200000; ++i) {
    const double v = static_cast<double>(random() % (uint64_t{1} << 40)) / 4096.0;  // many exact ties among these
    ASSERT_EQ(ixo::one_decimal(v), printf_one(v)) << std::hexfloat << v;
  }
}

}  // namespace
