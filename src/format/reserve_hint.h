// How much room a table may take before its records are read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ixo::format {

// A stored count only hints at a table's size: reserve no more than the cap, nor more records than the bytes left
// could hold, so that a hostile count never turns into a large allocation.
inline size_t reserve_hint(uint64_t count, uint64_t cap, uint64_t bytes_left, uint64_t min_record_bytes) {
  uint64_t n = count < cap ? count : cap;
  if (min_record_bytes > 0 && n > bytes_left / min_record_bytes) n = bytes_left / min_record_bytes;
  return static_cast<size_t>(n);
}

}  // namespace ixo::format
