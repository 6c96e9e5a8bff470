#include "memory_gate.h"

#include <unistd.h>

#include <algorithm>

namespace ixo::cm {
namespace {

constexpr uint64_t kFallbackBudget = uint64_t{4} << 30;  // when the system cannot tell its memory

}  // namespace

uint64_t MemoryGate::default_budget() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return kFallbackBudget;
  // Half of it: the decoded blocks in flight and the held blocks need room beside the models.
  return static_cast<uint64_t>(pages) / 2 * static_cast<uint64_t>(page_size);
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
