// Block buffers passed round instead of allocated afresh: a whole decoded block that the feed lets go, or a
// worker's stored bytes, are taken by the next block with their pages already in memory, and decoders write
// over the old bytes without clearing them first. Never more buffers exist at once than were in use at once, and
// none is kept that no block will take any more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace ixo::pack {

class BlockPool {
 public:
  // Keeps at most keep buffers that nobody uses, and never more than takes still to come: takes is how many
  // times take will be called in all (the blocks to decode).
  BlockPool(size_t keep, uint64_t takes) : keep_(keep), takes_left_(takes) {}
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  // A buffer with room for at least n bytes without growing: its capacity is n or more; its size, and the
  // bytes within it, are whatever it held before (writable, not cleared). Allocation failure throws
  // std::bad_alloc, as a fresh vector would.
  std::vector<uint8_t> take(size_t n);
  // Returns a buffer that is no longer used.
  void give(std::vector<uint8_t>&& buffer);

  size_t kept() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> free_;
  const size_t keep_;
  uint64_t takes_left_;
};

}  // namespace ixo::pack
