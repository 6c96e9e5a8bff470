#include "util/human.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct Case {
  uint64_t bytes;
  const char* text;
};

// Unit boundaries, ties and values whose text rounds up into the next unit's figure.
constexpr Case CASES[] = {
    {0, "0 B"},
    {1, "1 B"},
    {1023, "1023 B"},
    {1024, "1.0 KB"},
    {1280, "1.2 KB"},   // 1.25: a tie, to even
    {1331, "1.3 KB"},   // 1.2998...
    {1792, "1.8 KB"},   // 1.75: a tie, to even
    {2304, "2.2 KB"},   // 2.25
    {2816, "2.8 KB"},   // 2.75
    {1126, "1.1 KB"},   // 1.0996...
    {1048524, "1023.9 KB"},
    {1048525, "1024.0 KB"},  // 1023.9501...
    {1048575, "1024.0 KB"},  // below 1024 KB: the unit stays
    {1048576, "1.0 MB"},
    {1310720, "1.2 MB"},  // 1.25 MB
    {16944988, "16.2 MB"},
    {1073741823, "1024.0 MB"},
    {1073741824, "1.0 GB"},
    {1879048192, "1.8 GB"},  // 1.75 GB
    {1099511627776, "1024.0 GB"},
    {1125899906842624, "1048576.0 GB"},  // no unit above GB
    {9007199254740993, "8388608.0 GB"},  // 2^53 + 1 rounds to 2^53 first
    {18446744073709551615u, "17179869184.0 GB"},
};

TEST(Human, ByteCountsAsText) {
  for (const Case& c : CASES) EXPECT_EQ(ixo::pack::human(c.bytes), c.text) << c.bytes;
}

// Every count just below a unit boundary keeps the smaller unit, every count at it takes the larger one.
TEST(Human, UnitBoundaries) {
  for (uint64_t unit = 1024; unit <= (uint64_t{1} << 30); unit *= 1024) {
    const std::string below = ixo::pack::human(unit - 1);
    const std::string at = ixo::pack::human(unit);
    EXPECT_NE(below.substr(below.size() - 2), at.substr(at.size() - 2)) << unit;
  }
  EXPECT_EQ(ixo::pack::human((uint64_t{1} << 40) - 1), "1024.0 GB");
}

}  // namespace
