// Panics inside the bridge in the way its argument names and prints "caught N" for the panics caught.
// Run as a child by the crash-report filter tests, which read its standard error.
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "transform/quiet.h"

namespace {

int panic_once() { return ixo_bridge_test_panic() ? 1 : 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  const std::string_view mode = argv[1];
  // The report text must not depend on the caller's environment.
  setenv("RUST_BACKTRACE", "0", 1);
  if (mode != "unfiltered") ixo::transform::install_panic_filter();

  int caught = 0;
  if (mode == "unfiltered" || mode == "filtered") {
    caught += panic_once();
  } else if (mode == "quiet") {
    ixo::transform::QuietScope quiet;
    caught += panic_once();
  } else if (mode == "around") {
    // Reported, silenced, reported: the scope puts the flag back.
    caught += panic_once();
    {
      ixo::transform::QuietScope quiet;
      caught += panic_once();
    }
    caught += panic_once();
  } else if (mode == "other-thread") {
    // The flag of this thread does not silence another thread.
    ixo::transform::QuietScope quiet;
    std::thread t([&] { caught += panic_once(); });
    t.join();
  } else {
    return 64;
  }
  std::printf("caught %d\n", caught);
  return 0;
}
