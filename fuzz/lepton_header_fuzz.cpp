// The Lepton header check on arbitrary containers and file sizes: it never reads past its input, never holds
// more than its bound, and either passes or gives its one message. Input forms: lepton_compose.h, after a first
// byte that picks the file size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "lepton_compose.h"
#include "transform/lepton_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t len) {
  // The first byte picks the file size: small sizes reach the bound of the inflated header.
  if (len == 0) return 0;
  const uint64_t size = uint64_t{data[0]} * 97;
  const std::vector<uint8_t> container = ixo::fuzz::lepton_container(std::span(data + 1, len - 1));
  auto r = ixo::transform::check_lepton_header(container, size);
  if (!r && r.error().to_string() != "JPEG reconstruction failed: damaged Lepton header") std::abort();
  return 0;
}
