#include "archive/recovery_reads.h"

#include <algorithm>

#include "codec/codec.h"
#include "util/blake3.h"

namespace ixo::pack {

namespace {

// Each memory holds at most this many entries; past it the search only forgets, which costs work, never
// changes an outcome.
constexpr size_t MEMORY_LIMIT = size_t{1} << 18;

Error no_state_here() { return codec::invalid("no complete state ends here"); }

}  // namespace

uint64_t recovery_work_bound(uint64_t archive_len) {
  if (archive_len > (UINT64_MAX - RECOVERY_WORK_BASE) / RECOVERY_WORK_PER_BYTE) return UINT64_MAX;
  return RECOVERY_WORK_BASE + archive_len * RECOVERY_WORK_PER_BYTE;
}

bool RecoveryReads::spend(uint64_t work) {
  if (exhausted_ || work > work_left_) {
    exhausted_ = true;
    return false;
  }
  work_left_ -= work;
  work_.spent += work;
  return true;
}

std::optional<Footer> RecoveryReads::footer_at(uint64_t end) {
  if (end < MIN_ARCHIVE_BYTES) return std::nullopt;
  std::array<uint8_t, FOOTER_BYTES> raw{};
  const uint64_t at = end - FOOTER_BYTES;
  if (at >= window_start_ && end - window_start_ <= window_.size()) {
    std::copy_n(window_.begin() + static_cast<ptrdiff_t>(at - window_start_), FOOTER_BYTES, raw.begin());
  } else {
    if (!spend(RECOVERY_SMALL_READ_WORK)) return std::nullopt;
    if (!file_.read_exact_at(at, raw)) {
      walk_read_failed_ = true;
      return std::nullopt;
    }
  }
  return Footer::decode(raw);
}

bool RecoveryReads::read_counted(uint64_t offset, std::span<uint8_t> out) {
  if (!spend(std::max<uint64_t>(RECOVERY_SMALL_READ_WORK, out.size()))) return false;
  if (!file_.read_exact_at(offset, out)) {
    walk_read_failed_ = true;
    return false;
  }
  return true;
}

std::optional<RecoveryReads::StartFacts> RecoveryReads::learn_start(uint64_t offset) {
  StartFacts facts;
  facts.head.resize(static_cast<size_t>(std::min<uint64_t>(archive_len_ - offset, codec::ZSTD_HEAD_BYTES)));
  if (!read_counted(offset, facts.head)) return std::nullopt;
  facts.frame_span = codec::zstd_frame_span(
      archive_len_ - offset, [&](uint64_t at, std::span<uint8_t> out) {
        if (at + out.size() <= facts.head.size()) {
          std::copy_n(facts.head.begin() + static_cast<ptrdiff_t>(at), out.size(), out.begin());
          return true;
        }
        return read_counted(offset + at, out);
      });
  if (exhausted_) return std::nullopt;
  return facts;
}

const RecoveryReads::StartFacts* RecoveryReads::start_facts(uint64_t offset) {
  if (auto it = starts_.find(offset); it != starts_.end()) return &it->second;
  std::optional<StartFacts> facts = learn_start(offset);
  if (!facts) return nullptr;
  if (starts_.size() >= MEMORY_LIMIT) {
    unkept_ = std::move(*facts);
    return &unkept_;
  }
  return &starts_.emplace(offset, std::move(*facts)).first->second;
}

std::optional<RecoveryReads::Screened> RecoveryReads::screen(uint64_t end, bool top) {
  const std::optional<Footer> f = footer_at(end);
  if (!f) return std::nullopt;
  const std::optional<uint16_t> version = segment_version(header_version_, f->magic);
  if (!version || !index_location_ok(*f, end)) return std::nullopt;
  Screened s{*f, *version, SegmentKey{f->index_offset, f->stored_len, f->raw_len, f->digest, *version}};
  if (broken_.contains(s.key) || (top && top_fails_.contains(s.key))) return std::nullopt;

  // Before the stretch is read whole: its digest if it was hashed before, and what its first bytes and the
  // headers of the frame there tell.
  if (auto it = digests_.find(Stretch{f->index_offset, f->stored_len}); it != digests_.end() && it->second != f->digest)
    return std::nullopt;
  const StartFacts* start = start_facts(f->index_offset);
  if (!start) return std::nullopt;
  const std::span<const uint8_t> head =
      std::span(start->head).first(static_cast<size_t>(std::min<uint64_t>(start->head.size(), f->stored_len)));
  if (!codec::zstd_frame_may_give(head, f->raw_len)) return std::nullopt;
  if (start->frame_span && *start->frame_span != f->stored_len) return std::nullopt;
  return s;
}

void RecoveryReads::begin_walk() {
  walk_keys_.clear();
  walk_read_failed_ = false;
  ++work_.walks;
}

void RecoveryReads::end_walk(const ChainFailure& failure) {
  if (exhausted_ || walk_read_failed_ || walk_keys_.empty()) return;
  if (top_fails_.size() < MEMORY_LIMIT) top_fails_.insert(walk_keys_.front());
  const size_t n = std::min(failure.broken, walk_keys_.size());
  for (size_t i = 0; i < n && broken_.size() < MEMORY_LIMIT; ++i) broken_.insert(walk_keys_[i]);
}

Result<Segment> RecoveryReads::load(uint64_t end) {
  const bool top = walk_keys_.empty();
  const std::optional<Screened> s = screen(end, top);
  if (!s) return fail(no_state_here());
  walk_keys_.push_back(s->key);

  const Footer& f = s->footer;
  if (!spend(f.stored_len)) return fail(no_state_here());
  std::vector<uint8_t> stored(f.stored_len);
  if (auto ok = file_.read_exact_at(f.index_offset, stored); !ok) {
    walk_read_failed_ = true;
    return fail(std::move(ok.error()));
  }
  const Stretch stretch{f.index_offset, f.stored_len};
  if (!digests_.contains(stretch)) {
    const blake3::Digest digest = blake3::hash(stored);
    work_.hashed += stored.size();
    std::array<uint8_t, 16> prefix{};
    std::copy_n(digest.begin(), prefix.size(), prefix.begin());
    if (digests_.size() < MEMORY_LIMIT) digests_.emplace(stretch, prefix);
    if (prefix != f.digest) return fail(codec::invalid("archive index checksum mismatch"));
  }
  if (!spend(f.raw_len)) return fail(no_state_here());
  return decode_segment(f, s->version, stored);
}

}  // namespace ixo::pack
