#include "pipeline/read_plan.h"

#include <algorithm>
#include <set>
#include <unordered_set>
#include <utility>

namespace ixo::pack {
namespace {

uint64_t pair_key(uint32_t offset, uint32_t length) { return uint64_t(offset) << 32 | length; }

std::vector<PlanStep> make_steps(std::span<const ChunkRead> reads) {
  std::vector<PlanStep> steps;
  for (uint64_t i = 0; i < reads.size(); ++i) {
    if (steps.empty() || steps.back().block != reads[i].block) steps.push_back({{}, reads[i].block, i, false});
  }
  return steps;
}

std::vector<uint64_t> next_uses(std::span<const PlanStep> steps) {
  std::vector<uint64_t> next(steps.size(), NO_NEXT_USE);
  std::unordered_map<uint64_t, uint64_t> last_seen;
  for (uint64_t s = steps.size(); s-- > 0;) {
    const auto it = last_seen.find(steps[s].block);
    if (it != last_seen.end()) next[s] = it->second;
    last_seen[steps[s].block] = s;
  }
  return next;
}

// Decides, step by step, which decoded blocks stay held between their uses: a held block counts the bytes it
// must still serve, and the one needed furthest ahead goes first while the total is over the budget.
void simulate(ReadPlan& plan, std::span<const uint64_t> need, std::span<const uint64_t> next_use, uint64_t budget) {
  struct Entry {
    uint64_t next_use;
    uint64_t bytes;
  };
  std::unordered_map<uint64_t, Entry> held;
  std::set<std::pair<uint64_t, uint64_t>> by_next_use;  // (next use, block): the victim is the last
  uint64_t sum = 0;
  for (uint64_t s = 0; s < plan.steps.size(); ++s) {
    PlanStep& step = plan.steps[s];
    if (s > 0) {
      const uint64_t previous = plan.steps[s - 1].block;
      const uint64_t n = next_use[s - 1];
      if (n == NO_NEXT_USE) {
        step.release.push_back(previous);
      } else {
        const uint64_t bytes = need[step.first_read - 1];
        held[previous] = {n, bytes};
        by_next_use.insert({n, previous});
        sum += bytes;
      }
    }
    while (sum > budget) {
      const auto victim = std::prev(by_next_use.end());
      const uint64_t block = victim->second;
      by_next_use.erase(victim);
      sum -= held[block].bytes;
      held.erase(block);
      step.release.push_back(block);
    }
    if (const auto it = held.find(step.block); it != held.end()) {
      by_next_use.erase({it->second.next_use, step.block});
      sum -= it->second.bytes;
      held.erase(it);
    } else {
      step.decode = true;
      plan.decode_order.push_back(step.block);
    }
  }
}

}  // namespace

uint64_t held_budget(uint64_t threads) {
  const uint64_t n = std::max<uint64_t>(threads, 4);
  return n > (UINT64_MAX >> 25) ? UINT64_MAX : n << 25;
}

std::vector<uint32_t> read_chunks(std::span<const format::ChunkRef> chunks, Selection files) {
  std::vector<uint32_t> out;
  for (const format::FileEntry* file : files) {
    if (file->kind != format::Regular) continue;
    for (const uint32_t c : file->chunks) {
      if (chunks[c].recipe & format::Recipe::DELTA) out.push_back(chunks[c].base);
      out.push_back(c);
    }
  }
  return out;
}

std::vector<ChunkRead> read_list(std::span<const format::ChunkRef> chunks, Selection files) {
  const std::vector<uint32_t> order = read_chunks(chunks, files);
  std::vector<ChunkRead> reads;
  reads.reserve(order.size());
  for (const uint32_t c : order) reads.push_back({chunks[c].block, chunks[c].offset, chunks[c].length});
  return reads;
}

std::vector<uint64_t> need_after(std::span<const ChunkRead> reads) {
  struct Later {
    std::unordered_set<uint64_t> pairs;
    uint64_t total = 0;
  };
  std::unordered_map<uint64_t, Later> later;
  std::vector<uint64_t> need(reads.size());
  for (uint64_t i = reads.size(); i-- > 0;) {
    Later& b = later[reads[i].block];
    need[i] = b.total;
    if (b.pairs.insert(pair_key(reads[i].offset, reads[i].length)).second) b.total += reads[i].length;
  }
  return need;
}

ReadPlan plan_reads(std::vector<ChunkRead> reads, uint64_t budget) {
  ReadPlan plan;
  plan.steps = make_steps(reads);
  {
    const std::vector<uint64_t> need = need_after(reads);
    const std::vector<uint64_t> next_use = next_uses(plan.steps);
    simulate(plan, need, next_use, budget);
  }
  for (uint64_t i = 0; i < reads.size(); ++i) plan.reads_by_block[reads[i].block].push_back(i);
  plan.reads = std::move(reads);
  return plan;
}

ReadPlan plan_selection(std::span<const format::ChunkRef> chunks, Selection files, uint64_t threads) {
  return plan_reads(read_list(chunks, files), held_budget(threads));
}

}  // namespace ixo::pack
