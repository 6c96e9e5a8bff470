#include "util/decimal.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include "util/text.h"

namespace ixo {
namespace {

// The decimal digits of m * 2^e for an e too large for 64 bits: base 10^9 limbs, doubled e times.
std::string big_integer(uint64_t m, int e) {
  constexpr uint32_t BASE = 1000000000;
  std::vector<uint32_t> limbs;  // least significant first
  for (; m != 0; m /= BASE) limbs.push_back(static_cast<uint32_t>(m % BASE));
  for (int i = 0; i < e; ++i) {
    uint32_t carry = 0;
    for (uint32_t& limb : limbs) {
      const uint64_t doubled = uint64_t{limb} * 2 + carry;
      limb = static_cast<uint32_t>(doubled % BASE);
      carry = static_cast<uint32_t>(doubled / BASE);
    }
    if (carry != 0) limbs.push_back(carry);
  }
  std::string out = cat(limbs.back());
  for (size_t i = limbs.size() - 1; i-- > 0;) {
    std::string piece = cat(limbs[i]);
    out.append(9 - piece.size(), '0');
    out += piece;
  }
  return out;
}

}  // namespace

std::string one_decimal(double v) {
  if (std::isnan(v)) return "NaN";
  std::string out;
  if (std::signbit(v)) {
    out.push_back('-');
    v = -v;
  }
  if (std::isinf(v)) return out + "inf";

  // v = m * 2^e exactly, with m below 2^53.
  int exp = 0;
  const double fraction = std::frexp(v, &exp);
  const uint64_t m = static_cast<uint64_t>(std::ldexp(fraction, 53));
  const int e = exp - 53;

  if (e >= 0) {  // a whole number: its digit after the point is 0
    if (e <= 10) return out + cat(m << e, ".0");
    return out + big_integer(m, e) + ".0";
  }
  // Tenths: q = floor(10 v), the rest r out of 2^s decides the rounding. 10 m stays below 2^57, so from s = 58
  // on v is below 0.05 without a tie and rounds to 0.0.
  const int s = -e;
  uint64_t q = 0;
  if (s < 58) {
    const uint64_t scaled = m * 10;
    q = scaled >> s;
    const uint64_t rest = scaled & ((uint64_t{1} << s) - 1);
    const uint64_t half = uint64_t{1} << (s - 1);
    if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  }
  return out + cat(q / 10, '.', static_cast<char>('0' + q % 10));
}

}  // namespace ixo
