#include "util/lossy_text.h"

#include <cstdint>

namespace ixo::preflight {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// The allowed range of the byte after a lead byte; later continuation bytes are always 80..BF.
struct Lead {
  size_t length;
  uint8_t low, high;
};

Lead lead_of(uint8_t b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    const Lead lead = lead_of(b);
    size_t n = 1;  // bytes of the sequence that are well-formed so far
    if (lead.length != 0) {
      while (n < lead.length && i + n < bytes.size()) {
        const auto c = static_cast<uint8_t>(bytes[i + n]);
        const uint8_t low = n == 1 ? lead.low : 0x80;
        const uint8_t high = n == 1 ? lead.high : 0xBF;
        if (c < low || c > high) break;
        ++n;
      }
    }
    if (lead.length != 0 && n == lead.length) {
      out.append(bytes.substr(i, n));
    } else {
      out.append(REPLACEMENT);
    }
    i += n;
  }
  return out;
}

}  // namespace ixo::preflight
