// The reads of the backward search for the last complete state: cheap tests before any long read, a memory of
// what earlier candidates read and why they failed, and a bound on the work of the whole search.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "archive/read_index.h"
#include "archive/segment.h"
#include "platform/file.h"

namespace ixo::pack {

// A search that would work more than this gives up as if it had found nothing. Work counts the bytes of
// index stretches read, the bytes they decode to, and a fixed amount for each small read. The state the search
// finds in an archive the archiver wrote costs one read of its chain, the states it passes over at most one
// read of each of their segments (a failure is remembered for every segment it reaches), and the chain below
// a segment that failed to parse one more read: all told at most about twice the archive's index, stored and
// decoded, even an index that decodes to ten times its stored size. The base covers small archives whose
// tail holds stray footers, such as archives stored inside them.
inline constexpr uint64_t RECOVERY_WORK_BASE = uint64_t{1} << 30;
inline constexpr uint64_t RECOVERY_WORK_PER_BYTE = 32;  // per byte of the archive
inline constexpr uint64_t RECOVERY_SMALL_READ_WORK = 4096;

uint64_t recovery_work_bound(uint64_t archive_len);

// What a search did, for tests and measurements.
struct RecoveryWork {
  uint64_t spent = 0;   // the work counted against the bound
  uint64_t hashed = 0;  // bytes of index stretches hashed
  uint64_t walks = 0;   // chain walks started
};

class RecoveryReads final : public SegmentSource {
 public:
  RecoveryReads(const platform::File& file, uint16_t header_version, uint64_t work_bound)
      : file_(file), header_version_(header_version), work_left_(work_bound) {}

  // The window the search scans; footers that lie inside it are taken from it instead of the file.
  void set_window(uint64_t start, std::span<const uint8_t> bytes) {
    window_start_ = start;
    window_ = bytes;
  }

  // Whether the state ending at end is worth a walk: what its footer, a few bytes at the start of its index
  // stretch and earlier walks tell does not already rule it out.
  bool worth_walking(uint64_t end) { return screen(end, true).has_value(); }

  void begin_walk();
  // Remembers the segments of a failed walk that fail every chain holding them, and its top as a failed state.
  void end_walk(const ChainFailure& failure);

  Result<Segment> load(uint64_t end) override;

  bool exhausted() const { return exhausted_; }
  const RecoveryWork& work() const { return work_; }

 private:
  // What makes a segment what it is: two footers that agree on these give the same segment and the same chain
  // below it, so they read completely or fail alike.
  struct SegmentKey {
    uint64_t offset = 0;
    uint64_t stored_len = 0;
    uint64_t raw_len = 0;
    std::array<uint8_t, 16> digest{};
    uint16_t version = 0;
    auto operator<=>(const SegmentKey&) const = default;
  };
  struct Stretch {
    uint64_t offset = 0;
    uint64_t len = 0;
    auto operator<=>(const Stretch&) const = default;
  };
  struct StretchFacts {
    std::optional<std::array<uint8_t, 16>> digest;  // once hashed
    std::optional<std::vector<uint8_t>> head;       // its first bytes, once read
  };
  struct Screened {
    Footer footer;
    uint16_t version = 0;
    SegmentKey key;
  };

  std::optional<Screened> screen(uint64_t end, bool top);
  std::optional<Footer> footer_at(uint64_t end);
  StretchFacts* facts_of(const Footer& footer);
  bool spend(uint64_t work);

  const platform::File& file_;
  const uint16_t header_version_;
  uint64_t work_left_;
  bool exhausted_ = false;
  RecoveryWork work_;

  uint64_t window_start_ = 0;
  std::span<const uint8_t> window_;

  std::set<SegmentKey> broken_;     // fail in every chain
  std::set<SegmentKey> top_fails_;  // fail as the top of a state
  std::map<Stretch, StretchFacts> stretches_;

  std::vector<SegmentKey> walk_keys_;  // the segments the current walk loaded, newest first
  bool walk_read_failed_ = false;      // a read failed: what the walk met may not last
};

}  // namespace ixo::pack
