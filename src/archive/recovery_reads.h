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

// A search that would work more than this gives up as if it had found nothing. Work counts the bytes of index
// stretches read, the bytes they are decoded to, and at least 4 KiB for every smaller read (a footer outside
// the window, the first bytes and block headers of a frame). In an archive the archiver wrote, the state the
// search finds costs one read of its chain, the states it passes over one read of the segments their walks
// reach (a failure is remembered for every segment it reaches), and the chain below a segment that failed to
// parse one more read: about twice the archive's index, stored and decoded, which stays far below 32 bytes of
// work per archive byte even for an index that decodes to ten times its stored size and fills the archive.
// The base covers small archives whose data holds stray footers, such as archives stored inside them.
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
  // archive_len: the file's length, which no stretch passes.
  RecoveryReads(const platform::File& file, uint16_t header_version, uint64_t archive_len)
      : file_(file), header_version_(header_version), archive_len_(archive_len),
        work_left_(recovery_work_bound(archive_len)) {}

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
  // What the bytes at an index offset tell, whatever the stretch's length.
  struct StartFacts {
    std::vector<uint8_t> head;            // the first bytes there (fewer only near the end of the archive)
    std::optional<uint64_t> frame_span;   // codec::zstd_frame_span of the frame there, when it could tell
  };
  struct Screened {
    Footer footer;
    uint16_t version = 0;
    SegmentKey key;
  };

  std::optional<Screened> screen(uint64_t end, bool top);
  std::optional<Footer> footer_at(uint64_t end);
  std::optional<StartFacts> learn_start(uint64_t offset);
  const StartFacts* start_facts(uint64_t offset);
  bool read_counted(uint64_t offset, std::span<uint8_t> out);
  bool spend(uint64_t work);

  const platform::File& file_;
  const uint16_t header_version_;
  const uint64_t archive_len_;
  uint64_t work_left_;
  bool exhausted_ = false;
  RecoveryWork work_;

  uint64_t window_start_ = 0;
  std::span<const uint8_t> window_;

  std::set<SegmentKey> broken_;     // fail in every chain
  std::set<SegmentKey> top_fails_;  // fail as the top of a state
  std::map<Stretch, std::array<uint8_t, 16>> digests_;  // of the stretches hashed
  std::map<uint64_t, StartFacts> starts_;
  StartFacts unkept_;  // what a start taught once the memory is full

  std::vector<SegmentKey> walk_keys_;  // the segments the current walk loaded, newest first
  bool walk_read_failed_ = false;      // a read failed: what the walk met may not last
};

}  // namespace ixo::pack
