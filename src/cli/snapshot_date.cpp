#include "cli/snapshot_date.h"

#include "util/text.h"

namespace ixo::cli {
namespace {

std::string zero_padded(int64_t value, size_t width) {
  std::string digits = cat(value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

}  // namespace

std::string snapshot_date(int64_t t) {
  if (t < 1) return "-";
  // Proleptic Gregorian date from the day count, in integers only: no C library time zone state is involved,
  // and every t from 1 on stays far from overflow.
  const int64_t days = t / 86400;
  const int64_t sod = t - days * 86400;
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t year = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  if (month <= 2) ++year;
  const int64_t hour = sod / 3600;
  const int64_t minute = (sod % 3600) / 60;
  return cat(zero_padded(year, 4), '-', zero_padded(month, 2), '-', zero_padded(day, 2), ' ', zero_padded(hour, 2),
             ':', zero_padded(minute, 2), " UTC");
}

}  // namespace ixo::cli
