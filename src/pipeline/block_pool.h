// Block buffers passed round instead of allocated afresh: a whole decoded block that the feed lets go, or a
// worker's stored bytes, are taken by the next block with their pages already in memory, and decoders write
// over the old bytes without clearing them first. Never more buffers exist at once than were in use at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace ixo::pack {

class BlockPool {
 public:
  // Keeps at most keep buffers that nobody uses.
  explicit BlockPool(size_t keep) : keep_(keep) {}
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
};

}  // namespace ixo::pack
