#include "crc32.h"

#include <array>

namespace ixo::cm {
namespace {

// Slicing by eight: kTables[0] is the classic byte table; kTables[k] advances a byte by k
// further zero bytes, so eight input bytes fold in with one step.
constexpr std::array<std::array<uint32_t, 256>, 8> kTables = [] {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (size_t k = 1; k < 8; ++k) t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
  return t;
}();

}  // namespace

uint32_t crc32(const uint8_t* data, size_t len) {
  uint32_t crc = 0xFFFFFFFFu;
  while (len >= 8) {
    const uint32_t lo = crc ^ (uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 |
                               uint32_t{data[3]} << 24);
    crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
          kTables[4][lo >> 24] ^ kTables[3][data[4]] ^ kTables[2][data[5]] ^ kTables[1][data[6]] ^
          kTables[0][data[7]];
    data += 8;
    len -= 8;
  }
  while (len-- > 0) crc = kTables[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace ixo::cm
