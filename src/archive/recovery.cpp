#include "archive/recovery.h"

#include <algorithm>
#include <vector>

#include "archive/read_index.h"
#include "format/versions.h"

namespace ixo::pack {

namespace {

// Any footer magic this build knows, whatever the header version.
bool is_footer_magic(const uint8_t* p) { return format::footer_magic_version(p).has_value(); }

std::optional<EarlierState> search(const platform::File& file, uint64_t end, RecoveryReads& reads) {
  uint64_t window_end = end;
  std::vector<uint8_t> window;
  for (;;) {
    const uint64_t window_start = window_end > RECOVERY_WINDOW ? window_end - RECOVERY_WINDOW : 0;
    window.resize(window_end - window_start);
    if (!file.read_exact_at(window_start, window)) return std::nullopt;
    reads.set_window(window_start, window);
    // Backwards from the last position that still holds four bytes.
    for (size_t n = window.size() >= 4 ? window.size() - 3 : 0; n-- > 0;) {
      const size_t i = n;
      if (!is_footer_magic(&window[i])) continue;
      const uint64_t candidate = window_start + i + 4;
      if (candidate >= end || !reads.worth_walking(candidate)) {
        if (reads.exhausted()) return std::nullopt;
        continue;
      }
      reads.begin_walk();
      ChainFailure failure;
      if (auto index = read_index_from(reads, candidate, &failure)) return EarlierState{std::move(*index), candidate};
      if (reads.exhausted()) return std::nullopt;
      reads.end_walk(failure);
    }
    if (window_end <= RECOVERY_WINDOW) return std::nullopt;
    // Three bytes of overlap: a magic across the boundary is seen once, in the lower window.
    window_end = window_start + 3;
  }
}

}  // namespace

std::optional<EarlierState> find_earlier_footer(const platform::File& file, uint64_t end, uint16_t header_version,
                                                RecoveryWork* work) {
  RecoveryReads reads(file, header_version, end);
  std::optional<EarlierState> found = search(file, end, reads);
  if (work) *work = reads.work();
  return found;
}

}  // namespace ixo::pack
