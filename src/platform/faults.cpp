#include "platform/faults.h"

#include <atomic>

namespace ixo::platform::faults {

namespace {
std::atomic<Hook> installed{nullptr};
}

void set_hook(Hook hook) { installed.store(hook, std::memory_order_release); }

int injected(Call call) {
  const Hook hook = installed.load(std::memory_order_acquire);
  return hook == nullptr ? 0 : hook(call);
}

}  // namespace ixo::platform::faults
