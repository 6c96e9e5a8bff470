// The read plan of an extraction: every chunk read in request order, grouped into steps, with the blocks to
// decode and the decoded blocks kept between their uses under the held-block budget.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "format/records.h"

namespace ixo::pack {

// The selection of a run, in its order; only regular files are planned.
using Selection = std::span<const format::FileEntry* const>;

// One planned read of a chunk's bytes from a decoded block.
struct ChunkRead {
  uint64_t block = 0;
  uint32_t offset = 0;
  uint32_t length = 0;

  friend bool operator==(const ChunkRead&, const ChunkRead&) = default;
};

// A maximal run of consecutive reads of one block.
struct PlanStep {
  std::vector<uint64_t> release;  // held copies dropped when the step begins
  uint64_t block = 0;
  uint64_t first_read = 0;  // the step ends where the next step's first read begins
  bool decode = false;      // the block comes from the workers (the next entry of decode_order)

  friend bool operator==(const PlanStep&, const PlanStep&) = default;
};

// Block index -> ascending indices of the reads of that block.
using ReadsByBlock = std::unordered_map<uint64_t, std::vector<uint64_t>>;

inline constexpr uint64_t NO_NEXT_USE = UINT64_MAX;

struct ReadPlan {
  std::vector<ChunkRead> reads;
  std::vector<PlanStep> steps;
  std::vector<uint64_t> decode_order;  // one block per decoding step, in step order
  ReadsByBlock reads_by_block;
};

// max(threads, 4) x 32 MiB, saturating (threads has no upper bound).
uint64_t held_budget(uint64_t threads);

// Every read the rebuild of the regular files of files will make, in order: a delta chunk's base just before it.
std::vector<ChunkRead> read_list(std::span<const format::ChunkRef> chunks, Selection files);
// The chunk index of each read of read_list(chunks, files), in the same order.
std::vector<uint32_t> read_chunks(std::span<const format::ChunkRef> chunks, Selection files);

// Per read: bytes of the distinct (offset, length) pairs of the same block that later reads request.
std::vector<uint64_t> need_after(std::span<const ChunkRead> reads);

// Steps, release lists, decode flags, decode_order and reads_by_block of a read list under budget bytes.
ReadPlan plan_reads(std::vector<ChunkRead> reads, uint64_t budget);

// The plan of a run: read_list over chunks, then plan_reads under held_budget(threads).
ReadPlan plan_selection(std::span<const format::ChunkRef> chunks, Selection files, uint64_t threads);

}  // namespace ixo::pack
