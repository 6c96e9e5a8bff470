#include "cli/snapshot_date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <random>
#include <string>

namespace {

struct Case {
  int64_t time;
  const char* text;
};

constexpr Case CASES[] = {
    {0, "-"},
    {-1, "-"},
    {INT64_MIN, "-"},
    {1, "1970-01-01 00:00 UTC"},
    {59, "1970-01-01 00:00 UTC"},  // seconds are dropped, not rounded
    {86399, "1970-01-01 23:59 UTC"},
    {951782400, "2000-02-29 00:00 UTC"},
    {951868799, "2000-02-29 23:59 UTC"},
    {4102444800, "2100-01-01 00:00 UTC"},
    {4107542400, "2100-03-01 00:00 UTC"},  // 2100 is no leap year
    {253402300799, "9999-12-31 23:59 UTC"},
    {253402300800, "10000-01-01 00:00 UTC"},
    {INT64_MAX, "292277026596-12-04 15:30 UTC"},
};

TEST(SnapshotDate, Cases) {
  for (const Case& c : CASES) EXPECT_EQ(ixo::cli::snapshot_date(c.time), c.text) << c.time;
}

TEST(SnapshotDate, AgreesWithTheCalendar) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 100000; ++i) {
    const time_t t = static_cast<time_t>(random() % 253402300800) + 1;
    std::tm tm{};
    ASSERT_NE(gmtime_r(&t, &tm), nullptr);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M UTC", &tm);
    ASSERT_EQ(ixo::cli::snapshot_date(t), expected) << t;
  }
}

}  // namespace
