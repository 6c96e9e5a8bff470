// Numbers with one decimal, as the listing, the summary and the report print them.
#pragma once

#include <string>

namespace ixo {

// v in fixed-point notation with one digit after the point, rounded to nearest from the exact value the double
// holds, an exact tie going to the even digit (what a correctly rounding "%.1f" gives). No exponent, no separators.
std::string one_decimal(double v);

}  // namespace ixo
