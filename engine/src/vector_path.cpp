#include "vector_path.h"

#include <atomic>

namespace ixo::cm {
namespace {

std::atomic<bool> force_scalar{false};

}  // namespace

bool cpu_has_avx2() {
  static const bool avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2;
}

bool vector_path_enabled() { return cpu_has_avx2() && !force_scalar.load(std::memory_order_relaxed); }

void testing_force_scalar(bool on) { force_scalar.store(on, std::memory_order_relaxed); }

}  // namespace ixo::cm
