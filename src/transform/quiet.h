// Crash reports of transform decoders: a process-wide filter and the per-thread quiet flag it reads.
#pragma once

#include <ixo_bridge.h>

namespace ixo::transform {

// Called once, first thing in main, before any other thread exists.
inline void install_panic_filter() { ixo_install_panic_filter(); }

// Sets QUIET on this thread for its lifetime and puts the previous value back, however the decoder ends.
class QuietScope {
 public:
  QuietScope() : previous_(ixo_set_quiet(true)) {}
  ~QuietScope() { ixo_set_quiet(previous_); }
  QuietScope(const QuietScope&) = delete;
  QuietScope& operator=(const QuietScope&) = delete;

 private:
  bool previous_;
};

}  // namespace ixo::transform
