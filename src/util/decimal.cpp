#include "util/decimal.h"

#include <charconv>
#include <cmath>

namespace ixo {

std::string one_decimal(double v) {
  if (std::isnan(v)) return "NaN";
  // The largest double has 309 digits before the point.
  char buf[330];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 1);
  return ec == std::errc{} ? std::string(buf, end) : std::string();
}

}  // namespace ixo
