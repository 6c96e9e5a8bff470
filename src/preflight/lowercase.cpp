#include "preflight/lowercase.h"

#include <ixo_bridge.h>

#include <cstdint>

namespace ixo::preflight {

namespace {

bool take(void* ctx, const uint8_t* data, size_t len) {
  static_cast<std::string*>(ctx)->assign(reinterpret_cast<const char*>(data), len);
  return true;
}

}  // namespace

std::string to_lowercase(std::string_view text) {
  std::string out;
  if (ixo_to_lowercase(reinterpret_cast<const uint8_t*>(text.data()), text.size(), take, &out) == 0) return out;
  out.assign(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace ixo::preflight
