// The x86 branch conversion undoes itself on any input and keeps its length.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "transform/bcj_x86.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t len) {
  std::vector<uint8_t> buf(data, data + len);
  const uint64_t encoded = ixo::transform::bcj_x86(buf, true);
  if (buf.size() != len) std::abort();
  const uint64_t decoded = ixo::transform::bcj_x86(buf, false);
  if (encoded != decoded || !std::equal(buf.begin(), buf.end(), data)) std::abort();
  return 0;
}
