#include "archive/recovery.h"

#include <algorithm>
#include <vector>

#include "archive/read_index.h"

namespace ixo::pack {

namespace {

bool is_footer_magic(const uint8_t* p) {
  return p[0] == 'I' && p[1] == 'X' && p[2] == 'O' && p[3] >= '2' && p[3] <= '7';
}

}  // namespace

std::optional<EarlierState> find_earlier_footer(const platform::File& file, uint64_t end, uint16_t header_version) {
  uint64_t window_end = end;
  std::vector<uint8_t> window;
  for (;;) {
    const uint64_t window_start = window_end > RECOVERY_WINDOW ? window_end - RECOVERY_WINDOW : 0;
    window.resize(window_end - window_start);
    if (!file.read_exact_at(window_start, window)) return std::nullopt;
    // Backwards from the last position that still holds four bytes.
    for (size_t n = window.size() >= 4 ? window.size() - 3 : 0; n-- > 0;) {
      const size_t i = n;
      if (!is_footer_magic(&window[i])) continue;
      const uint64_t candidate = window_start + i + 4;
      if (candidate >= end) continue;
      if (auto index = read_index_at(file, candidate, header_version)) return EarlierState{std::move(*index), candidate};
    }
    if (window_end <= RECOVERY_WINDOW) return std::nullopt;
    // Three bytes of overlap: a magic across the boundary is seen once, in the lower window.
    window_end = window_start + 3;
  }
}

}  // namespace ixo::pack
