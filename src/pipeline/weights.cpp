#include "pipeline/weights.h"

#include "codec/codec.h"

namespace ixo::weights {

Result<std::vector<uint8_t>> rebuild(uint8_t layout, std::span<const uint8_t> raw) {
  const size_t len = raw.size();
  if (layout == 0) return std::vector<uint8_t>(raw.begin(), raw.end());
  const size_t width = layout == 3 ? 4 : 2;
  if (len % width != 0) return fail(codec::invalid("misaligned weight chunk"));
  const size_t n = len / width;
  std::vector<uint8_t> d(len);
  if (layout == 1) {
    // bfloat16: the first plane holds the exponents, the second the sign and mantissa bits.
    for (size_t i = 0; i < n; ++i) {
      const uint16_t a = raw[i], b = raw[n + i];
      const uint16_t v = uint16_t((b & 0x80) << 8 | a << 7 | (b & 0x7F));
      d[2 * i] = uint8_t(v);
      d[2 * i + 1] = uint8_t(v >> 8);
    }
  } else {
    for (size_t k = 0; k < width; ++k) {
      const uint8_t* plane = raw.data() + k * n;
      for (size_t i = 0; i < n; ++i) d[i * width + k] = plane[i];
    }
  }
  return d;
}

}  // namespace ixo::weights
