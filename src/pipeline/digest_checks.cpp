#include "pipeline/digest_checks.h"

#include <algorithm>
#include <unordered_map>

#include "pipeline/chunk.h"

namespace ixo::pack {

DigestChecks::DigestChecks(const Archive& archive, Selection files, const ReadPlan& plan)
    : archive_(archive), verdicts_(plan.reads.size(), Verdict::Unchecked) {
  const std::vector<uint32_t> chunk_of = read_chunks(archive.chunks, files);
  // Which position serves each plain read: the last decode of its block up to its step.
  std::vector<uint64_t> position_of(plan.reads.size(), UINT64_MAX);
  std::vector<uint64_t> count(plan.decode_order.size() + 1, 0);
  std::unordered_map<uint64_t, uint64_t> decoded_at;
  uint64_t next_position = 0;
  for (uint64_t s = 0; s < plan.steps.size(); ++s) {
    const PlanStep& step = plan.steps[s];
    if (step.decode) decoded_at[step.block] = next_position++;
    const auto at = decoded_at.find(step.block);
    if (at == decoded_at.end()) continue;
    const uint64_t end = s + 1 < plan.steps.size() ? plan.steps[s + 1].first_read : plan.reads.size();
    for (uint64_t r = step.first_read; r < end; ++r) {
      if (r >= chunk_of.size() || archive.chunks[chunk_of[r]].recipe != 0) continue;
      position_of[r] = at->second;
      ++count[at->second + 1];
    }
  }
  for (size_t p = 1; p < count.size(); ++p) count[p] += count[p - 1];
  starts_ = count;
  checks_.resize(count.back());
  for (uint64_t r = 0; r < position_of.size(); ++r) {
    if (position_of[r] != UINT64_MAX) checks_[count[position_of[r]]++] = {r, chunk_of[r]};
  }
  for (size_t p = 0; p + 1 < starts_.size(); ++p) {
    std::sort(checks_.begin() + starts_[p], checks_.begin() + starts_[p + 1],
              [](const Check& a, const Check& b) { return a.chunk < b.chunk; });
  }
}

void DigestChecks::check(uint64_t position, std::span<const uint8_t> block) {
  if (position + 1 >= starts_.size()) return;
  Verdict last = Verdict::Unchecked;
  for (uint64_t i = starts_[position]; i < starts_[position + 1]; ++i) {
    const Check& c = checks_[i];
    if (i == starts_[position] || checks_[i - 1].chunk != c.chunk) {
      const format::ChunkRef& ref = archive_.chunks[c.chunk];
      // A chunk beyond its block is the feed's error, found before any digest.
      if (ref.offset > block.size() || block.size() - ref.offset < ref.length) {
        last = Verdict::Unchecked;
      } else {
        const bool ok = chunk_digest_matches(archive_.version, ref, block.subspan(ref.offset, ref.length));
        last = ok ? Verdict::Passed : Verdict::Failed;
      }
    }
    verdicts_[c.read] = last;
  }
}

}  // namespace ixo::pack
