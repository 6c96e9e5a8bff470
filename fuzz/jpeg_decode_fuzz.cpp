// The "jpeg" decoder behind its header check on arbitrary containers, run under its bound as the program runs it:
// an error with its prefix (the bound's reasons included), a caught crash of the library, or at most the file's
// size of output; whatever the library does, this process goes on. Input forms: lepton_compose.h.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "lepton_compose.h"
#include "platform/fork_server.h"
#include "transform/decoder_crash.h"
#include "transform/quiet.h"
#include "transform/slots.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ixo::transform::install_panic_filter();
  ixo::platform::start_fork_server();  // as the program does, before libFuzzer starts its threads
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t len) {
  const std::vector<uint8_t> container = ixo::fuzz::lepton_container(std::span(data, len));
  const uint64_t size = std::min<uint64_t>(uint64_t{64} << 20, 8 * uint64_t{len} + 1024);
  try {
    const ixo::transform::QuietScope quiet;
    auto r = ixo::transform::decode_jpeg(container, size);
    if (r && r->size() > size) std::abort();
    if (!r && r.error().to_string().rfind("JPEG reconstruction failed: ", 0) != 0) std::abort();
  } catch (const ixo::transform::DecoderCrash&) {
  }
  return 0;
}
