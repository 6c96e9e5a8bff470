// The consuming end of the block pipeline: serves chunk bytes in planned order, taking decoded blocks in
// decode_order, parking early results and holding compacted copies of blocks between their uses.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error.h"
#include "pipeline/block_channel.h"
#include "pipeline/block_pool.h"
#include "pipeline/digest_checks.h"
#include "pipeline/read_plan.h"
#include "pipeline/window.h"

namespace ixo::pack {

// One block kept in memory: the whole decoded block, or a compacted copy of the ranges later reads need.
struct Held {
  using Key = std::pair<uint32_t, uint32_t>;  // (offset, length) of a read
  std::vector<uint8_t> data;
  // Absent: data is the whole block. Present: each copied pair -> its start in data.
  std::optional<std::map<Key, uint64_t>> ranges;
};

// Used by the consuming thread only; not shared, no lock of its own.
class BlockFeed {
 public:
  // The plan parts are borrowed and must outlive the feed.
  // Whole blocks that the feed lets go are given to pool, when there is one; checks holds what the workers
  // found of the digests of plain chunks, when they check them.
  BlockFeed(std::span<const ChunkRead> reads, const ReadsByBlock& reads_by_block, std::span<const PlanStep> steps,
            Window& window, BlockChannel::Receiver receiver, BlockPool* pool = nullptr,
            const DigestChecks* checks = nullptr);
  BlockFeed(const BlockFeed&) = delete;
  BlockFeed& operator=(const BlockFeed&) = delete;

  // The length bytes at offset of the decoded block, for the next planned read. The view stays valid only
  // until the next call, which may compact, replace or free what it points into.
  // Errors: "internal error: chunk read order mismatch" (feed unchanged), "block decoder stopped", a worker's
  // error for the block, "internal error: planned block is not held", "chunk lies outside its block".
  Result<std::span<const uint8_t>> get(uint64_t block, uint32_t offset, uint32_t length);

  // What a worker found of the digest of read's chunk; Unchecked when none looked. Valid once get has served
  // that read.
  DigestChecks::Verdict verdict(uint64_t read) const {
    return checks_ == nullptr ? DigestChecks::Verdict::Unchecked : checks_->verdict(read);
  }

  // Inspection, for tests and measurements.
  const Held* held(uint64_t block) const;
  uint64_t held_bytes() const;  // total length of every held buffer
  size_t pending_count() const { return pending_.size(); }
  uint64_t next_read() const { return next_read_; }
  uint64_t next_position() const { return next_position_; }
  uint64_t step() const { return step_; }
  uint64_t copied_bytes() const { return copied_; }  // bytes copied into compacted copies so far

 private:
  void release_step();
  // Frees a held block, giving a whole one back to the pool.
  void drop(Held&& held);
  Status start_step();
  void retire(uint64_t block, uint64_t from_read);
  Result<std::vector<uint8_t>> take_next_block();

  std::span<const ChunkRead> reads_;
  const ReadsByBlock& reads_by_block_;
  std::span<const PlanStep> steps_;
  Window& window_;
  std::unordered_map<uint64_t, Held> held_;
  std::map<uint64_t, DecodeResult> pending_;
  uint64_t next_position_ = 0;
  uint64_t next_read_ = 0;
  uint64_t step_ = 0;
  uint64_t copied_ = 0;
  BlockChannel::Receiver receiver_;
  BlockPool* pool_;
  const DigestChecks* checks_;
};

}  // namespace ixo::pack
