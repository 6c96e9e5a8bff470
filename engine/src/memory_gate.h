// Bounds the model memory of concurrent decodes within the process.
//
// A model takes from about 17 MiB to about 1.77 GiB, chosen by the stream, and the number of
// decoding threads has no upper bound. Memory is overcommitted on Linux, so building too many
// models at once does not fail cleanly: the process is killed later. Decodes therefore reserve
// their model's bytes here first; one that does not fit waits until others finish, and one
// larger than the whole budget runs alone. Waiters are served in arrival order, so a large
// decode is not starved by a stream of small ones.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ixo::cm {

class MemoryGate {
 public:
  class Lease {
   public:
    Lease() = default;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Lease(Lease&& o) noexcept : gate_(o.gate_), bytes_(o.bytes_) { o.gate_ = nullptr; }
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (gate_ != nullptr) gate_->release(bytes_);
    }

   private:
    friend class MemoryGate;
    Lease(MemoryGate* gate, uint64_t bytes) : gate_(gate), bytes_(bytes) {}
    MemoryGate* gate_ = nullptr;
    uint64_t bytes_ = 0;
  };

  explicit MemoryGate(uint64_t budget) : budget_(budget) {}
  MemoryGate(const MemoryGate&) = delete;
  MemoryGate& operator=(const MemoryGate&) = delete;

  // The gate shared by every decode of the process: half of the physical memory, or of the
  // control group's memory limit when that is lower.
  static MemoryGate& process();
  static uint64_t default_budget();

  // Blocks until the bytes fit beside the decodes already admitted (or nothing else runs).
  Lease acquire(uint64_t bytes);

  uint64_t budget() const { return budget_; }
  // Observation for tests and benchmarks.
  uint64_t in_use() const;
  int waiting() const;
  int peak_holders() const;

 private:
  void release(uint64_t bytes);

  const uint64_t budget_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  uint64_t in_use_ = 0;
  uint64_t next_ticket_ = 0;
  uint64_t serving_ = 0;
  int holders_ = 0;
  int peak_holders_ = 0;
  int waiting_ = 0;
};

}  // namespace ixo::cm
