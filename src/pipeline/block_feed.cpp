#include "pipeline/block_feed.h"

#include <algorithm>
#include <new>

#include "codec/codec.h"

namespace ixo::pack {
namespace {

// Where the pair starts in held's data, or nothing when held cannot serve it.
std::optional<uint64_t> source_start(const Held& held, uint32_t offset, uint32_t length) {
  uint64_t start = offset;
  if (held.ranges) {
    const auto it = held.ranges->find({offset, length});
    if (it == held.ranges->end()) return std::nullopt;
    start = it->second;
  }
  if (start > held.data.size() || held.data.size() - start < length) return std::nullopt;
  return start;
}

}  // namespace

BlockFeed::BlockFeed(std::span<const ChunkRead> reads, const ReadsByBlock& reads_by_block,
                     std::span<const PlanStep> steps, Window& window, BlockChannel::Receiver receiver,
                     BlockPool* pool, const DigestChecks* checks)
    : reads_(reads),
      reads_by_block_(reads_by_block),
      steps_(steps),
      window_(window),
      receiver_(std::move(receiver)),
      pool_(pool),
      checks_(checks) {}

void BlockFeed::drop(Held&& held) {
  // A compacted copy is sized to its ranges and would only crowd the pool.
  if (pool_ != nullptr && !held.ranges) pool_->give(std::move(held.data));
}

const Held* BlockFeed::held(uint64_t block) const {
  const auto it = held_.find(block);
  return it == held_.end() ? nullptr : &it->second;
}

uint64_t BlockFeed::held_bytes() const {
  uint64_t sum = 0;
  for (const auto& [block, h] : held_) sum += h.data.size();
  return sum;
}

Result<std::span<const uint8_t>> BlockFeed::get(uint64_t block, uint32_t offset, uint32_t length) {
  const uint64_t r = next_read_;
  if (r >= reads_.size() || reads_[r] != ChunkRead{block, offset, length})
    return fail(codec::invalid("internal error: chunk read order mismatch"));
  try {
    if (r == 0) {
      release_step();
      if (Status ok = start_step(); !ok) return fail(ok.error());
    } else if (step_ + 1 < steps_.size() && steps_[step_ + 1].first_read == r) {
      const uint64_t ended = steps_[step_].block;
      ++step_;
      // The release list goes first: a released block is dropped without being compacted (a copy the budget
      // never counted, without bound on a hostile archive), and the blocks evicted here are gone before the
      // ended block is copied, so held data stays within the budget plus that one whole block.
      release_step();
      retire(ended, r);
      if (Status ok = start_step(); !ok) return fail(ok.error());
    }
  } catch (const std::bad_alloc&) {
    return fail(Error::bare(ErrorKind::OutOfMemory));
  }

  ++next_read_;
  const auto it = held_.find(block);
  if (it == held_.end()) return fail(codec::invalid("internal error: planned block is not held"));
  const std::optional<uint64_t> start = source_start(it->second, offset, length);
  if (!start) return fail(codec::invalid("chunk lies outside its block"));
  return std::span<const uint8_t>(it->second.data.data() + *start, length);
}

void BlockFeed::release_step() {
  for (const uint64_t b : steps_[step_].release) {
    auto node = held_.extract(b);
    if (!node.empty()) drop(std::move(node.mapped()));
  }
}

Status BlockFeed::start_step() {
  const PlanStep& s = steps_[step_];
  if (!s.decode) return {};
  Result<std::vector<uint8_t>> next = take_next_block();
  if (!next) return fail(next.error());
  auto [it, inserted] = held_.try_emplace(s.block);
  if (!inserted) drop(std::move(it->second));
  it->second = Held{std::move(*next), std::nullopt};
  return {};
}

Result<std::vector<uint8_t>> BlockFeed::take_next_block() {
  std::optional<DecodeResult> result;
  while (!result) {
    if (auto it = pending_.find(next_position_); it != pending_.end()) {
      result.emplace(std::move(it->second));
      pending_.erase(it);
      break;
    }
    std::optional<BlockMessage> message = receiver_.receive();
    if (!message) return fail(codec::invalid("block decoder stopped"));
    if (message->position == next_position_) {
      result.emplace(std::move(message->result));
    } else {
      // Early results, errors among them, wait for their turn: a run fails on the first block it needs.
      pending_.insert_or_assign(message->position, std::move(message->result));
    }
  }
  ++next_position_;
  window_.consumed();
  return std::move(*result);
}

void BlockFeed::retire(uint64_t block, uint64_t from_read) {
  auto node = held_.extract(block);
  if (node.empty()) return;
  Held& old = node.mapped();

  const auto by_block = reads_by_block_.find(block);
  if (by_block == reads_by_block_.end()) return drop(std::move(old));
  const std::vector<uint64_t>& list = by_block->second;
  const auto first_later = std::lower_bound(list.begin(), list.end(), from_read);
  if (first_later == list.end()) return drop(std::move(old));

  // Two passes: the first finds the distinct pairs and their sources, so the copy is allocated once.
  std::map<Held::Key, uint64_t> ranges;
  std::vector<std::pair<Held::Key, uint64_t>> sources;
  uint64_t total = 0;
  for (auto it = first_later; it != list.end(); ++it) {
    const ChunkRead& read = reads_[*it];
    const Held::Key key{read.offset, read.length};
    if (ranges.contains(key)) continue;
    const std::optional<uint64_t> start = source_start(old, read.offset, read.length);
    if (!start) continue;  // its read then fails with "chunk lies outside its block"
    ranges.emplace(key, total);
    sources.emplace_back(key, *start);
    total += read.length;
  }
  if (ranges.empty()) return drop(std::move(old));
  Held copy{std::vector<uint8_t>(), std::move(ranges)};
  copy.data.reserve(total);
  for (const auto& [key, start] : sources)
    copy.data.insert(copy.data.end(), old.data.begin() + start, old.data.begin() + start + key.second);
  copied_ += total;
  drop(std::move(old));  // the old data goes before the copy is entered
  node = {};
  held_.emplace(block, std::move(copy));
}

}  // namespace ixo::pack
