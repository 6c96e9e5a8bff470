// The program installs the crash-report filter and starts the fork server of the decoders first thing; so do these
// tests, before any library thread exists: a server forked later, from a process whose threads may hold the
// sanitizer allocator's lock, can hand its children that lock held.
#include <gtest/gtest.h>

#include "platform/fork_server.h"
#include "transform/quiet.h"

namespace {

class PanicFilter : public testing::Environment {
 public:
  void SetUp() override {
    ixo::transform::install_panic_filter();
    ixo::platform::start_fork_server();
  }
};

[[maybe_unused]] testing::Environment* const panic_filter = testing::AddGlobalTestEnvironment(new PanicFilter);

}  // namespace
