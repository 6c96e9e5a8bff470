#include "pipeline/block_pool.h"

#include <algorithm>
#include <utility>

namespace ixo::pack {

std::vector<uint8_t> BlockPool::take(size_t n) {
  std::vector<uint8_t> buffer;
  std::vector<std::vector<uint8_t>> surplus;
  {
    std::lock_guard lock(mutex_);
    if (takes_left_ > 0) --takes_left_;
    // The smallest buffer that fits; without one, the largest makes way, so the number of buffers stays put.
    size_t best = free_.size();
    size_t largest = free_.size();
    for (size_t i = 0; i < free_.size(); ++i) {
      const size_t cap = free_[i].capacity();
      if (cap >= n && (best == free_.size() || cap < free_[best].capacity())) best = i;
      if (largest == free_.size() || cap > free_[largest].capacity()) largest = i;
    }
    const size_t chosen = best != free_.size() ? best : largest;
    if (chosen != free_.size()) {
      buffer = std::move(free_[chosen]);
      free_[chosen] = std::move(free_.back());
      free_.pop_back();
    }
    // Buffers that no later block will take go now, outside the lock.
    while (free_.size() > takes_left_) {
      surplus.push_back(std::move(free_.back()));
      free_.pop_back();
    }
  }
  surplus.clear();
  if (buffer.capacity() < n) {
    buffer = std::vector<uint8_t>();  // the old bytes need not move: let them go before the new allocation
    buffer.reserve(n);
  }
  return buffer;
}

void BlockPool::give(std::vector<uint8_t>&& buffer) {
  if (buffer.capacity() == 0) return;
  std::vector<uint8_t> dropped;
  {
    std::lock_guard lock(mutex_);
    if (free_.size() < std::min<uint64_t>(keep_, takes_left_)) {
      try {
        free_.push_back(std::move(buffer));
        return;
      } catch (...) {
        // no room to keep it: it goes
      }
    }
    dropped = std::move(buffer);
  }
  // dropped is freed here, outside the lock.
}

size_t BlockPool::kept() const {
  std::lock_guard lock(mutex_);
  return free_.size();
}

}  // namespace ixo::pack
