#include "memory_gate.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace ixo::cm {
namespace {

constexpr uint64_t kFallbackBudget = uint64_t{4} << 30;  // when the system cannot tell its memory

// A memory limit of the control group the process runs in (version 2, then version 1), or 0.
// Inside a container this is what the process can really use, not the host's memory.
uint64_t cgroup_limit() {
  for (const char* path : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) continue;
    unsigned long long v = 0;
    const int got = std::fscanf(f, "%llu", &v);  // "max" (no limit) does not parse
    std::fclose(f);
    if (got == 1 && v > 0) return v;
  }
  return 0;
}

}  // namespace

uint64_t MemoryGate::default_budget() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  uint64_t memory = pages > 0 && page_size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) : 0;
  const uint64_t limit = cgroup_limit();
  if (limit != 0 && (memory == 0 || limit < memory)) memory = limit;
  if (memory == 0) return kFallbackBudget;
  // Half of it: the decoded blocks in flight and the held blocks need room beside the models.
  return memory / 2;
}

MemoryGate& MemoryGate::process() {
  static MemoryGate gate(default_budget());
  return gate;
}

MemoryGate::Lease MemoryGate::acquire(uint64_t bytes) {
  std::unique_lock lock(mu_);
  const uint64_t ticket = next_ticket_++;
  ++waiting_;
  cv_.wait(lock, [&] {
    return ticket == serving_ && (holders_ == 0 || (in_use_ <= budget_ && bytes <= budget_ - in_use_));
  });
  --waiting_;
  ++serving_;
  in_use_ += bytes;
  ++holders_;
  peak_holders_ = std::max(peak_holders_, holders_);
  lock.unlock();
  // The next in line may fit too.
  cv_.notify_all();
  return Lease(this, bytes);
}

void MemoryGate::release(uint64_t bytes) {
  {
    std::lock_guard lock(mu_);
    in_use_ -= bytes;
    --holders_;
  }
  cv_.notify_all();
}

uint64_t MemoryGate::in_use() const {
  std::lock_guard lock(mu_);
  return in_use_;
}

int MemoryGate::waiting() const {
  std::lock_guard lock(mu_);
  return waiting_;
}

int MemoryGate::peak_holders() const {
  std::lock_guard lock(mu_);
  return peak_holders_;
}

}  // namespace ixo::cm
