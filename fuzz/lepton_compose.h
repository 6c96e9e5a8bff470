// Fuzz inputs for Lepton containers in two forms. A first byte with bit 0 clear: the rest is the container as
// stored. Bit 0 set: 24 bytes of fixed fields, a u16 length n, n bytes of the inflated header, then the image
// data; the header is compressed here, so mutations reach the sections behind the zlib checksum.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <span>
#include <vector>

namespace ixo::fuzz {

inline std::vector<uint8_t> lepton_container(std::span<const uint8_t> input) {
  if (input.empty()) return {};
  if ((input[0] & 1) == 0) return std::vector<uint8_t>(input.begin() + 1, input.end());
  input = input.subspan(1);
  if (input.size() < 26) return std::vector<uint8_t>(input.begin(), input.end());
  const size_t n = std::min<size_t>(input[24] | input[25] << 8, input.size() - 26);
  const std::span<const uint8_t> header = input.subspan(26, n);
  uLongf zlen = compressBound(uLong(header.size()));
  std::vector<uint8_t> z(zlen);
  if (compress2(z.data(), &zlen, header.data(), uLong(header.size()), 1) != Z_OK) return {};
  std::vector<uint8_t> out(input.begin(), input.begin() + 24);
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(zlen >> (8 * i)));
  out.insert(out.end(), z.begin(), z.begin() + zlen);
  out.insert(out.end(), input.begin() + 26 + n, input.end());
  return out;
}

}  // namespace ixo::fuzz
