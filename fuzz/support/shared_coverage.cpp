// Puts libFuzzer's coverage counters in memory shared with child processes. A decoder that runs in a process forked
// for the call counts its coverage in that child's copy of the counters, which the fuzzer never reads: without this
// it would fuzz that library blind. sancov_pages.ld gives the counters whole pages of their own, since only whole
// pages can be shared.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
extern uint8_t __start___sancov_cntrs[] __attribute__((weak));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak));
extern uint8_t __start___sancov_pcs[] __attribute__((weak));
}

namespace {

__attribute__((constructor)) void share_counters() {
  if (!__start___sancov_cntrs || +__stop___sancov_cntrs <= +__start___sancov_cntrs) return;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t lo = reinterpret_cast<uintptr_t>(__start___sancov_cntrs);
  const uintptr_t hi = (reinterpret_cast<uintptr_t>(__stop___sancov_cntrs) + page - 1) & ~(page - 1);
  if (lo % page != 0 || (__start___sancov_pcs && hi > reinterpret_cast<uintptr_t>(__start___sancov_pcs))) {
    std::fprintf(stderr, "shared coverage: the counters do not have pages of their own; a forked child's run "
                         "is not counted\n");
    return;
  }
  const size_t len = hi - lo;
  void* shared = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    std::perror("shared coverage counters");
    std::abort();
  }
  std::memcpy(shared, reinterpret_cast<void*>(lo), len);
  if (mremap(shared, len, len, MREMAP_MAYMOVE | MREMAP_FIXED, reinterpret_cast<void*>(lo)) == MAP_FAILED) {
    std::perror("shared coverage counters");
    std::abort();
  }
}

}  // namespace
