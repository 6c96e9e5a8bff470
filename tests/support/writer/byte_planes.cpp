// The stored form of a weight chunk: its rebuilt bytes split into byte planes, the inverse of the rebuild.
#include <cstdio>
#include <cstdlib>

#include "support/writer/archive_writer.h"

namespace ixo::test {

Bytes split_planes(uint8_t layout, std::span<const uint8_t> rebuilt) {
  layout &= 3;
  if (layout == 0) return Bytes(rebuilt.begin(), rebuilt.end());
  const size_t width = layout == 3 ? 4 : 2;
  if (rebuilt.size() % width != 0) {
    std::fprintf(stderr, "archive writer: %zu bytes do not split into %zu-byte elements\n", rebuilt.size(),
                 width);
    std::abort();
  }
  const size_t n = rebuilt.size() / width;
  Bytes stored(rebuilt.size());
  if (layout == 1) {
    // The exponent (bits 14-7) goes to the first plane; sign (bit 15) and mantissa (bits 6-0) to the second.
    for (size_t i = 0; i < n; ++i) {
      uint16_t v = static_cast<uint16_t>(rebuilt[2 * i] | (rebuilt[2 * i + 1] << 8));
      stored[i] = static_cast<uint8_t>(v >> 7);
      stored[n + i] = static_cast<uint8_t>(((v >> 8) & 0x80) | (v & 0x7F));
    }
    return stored;
  }
  for (size_t i = 0; i < n; ++i)
    for (size_t k = 0; k < width; ++k) stored[k * n + i] = rebuilt[i * width + k];
  return stored;
}

}  // namespace ixo::test
