#include "record_model.h"

#include "hash.h"

namespace ixo::cm {

void RecordModel::update(uint32_t c, uint64_t pos64, const uint8_t* history, uint32_t& hash_rows,
                         uint32_t& hash_row_byte) {
  const uint32_t pos = static_cast<uint32_t>(pos64);
  std::array<uint32_t, 4>& last = last_pos[c];
  const uint32_t d = pos - last[0];
  // Four recurrences at one distance confirm it; the initial zeros count as occurrences at 0.
  if (d >= 2 && d <= kMaxPeriod && d == last[0] - last[1] && d == last[1] - last[2] && d == last[2] - last[3]) {
    if (d == candidate) {
      if (++repeat_count > kConfirmations) period = d;
    } else {
      candidate = d;
      repeat_count = 0;
    }
  }
  last = {pos, last[0], last[1], last[2]};

  uint32_t above = 0;
  uint32_t above2 = 0;
  if (period != 0) {
    if (pos64 >= period) above = history[pos64 - period];
    if (pos64 >= uint64_t{2} * period) above2 = history[pos64 - uint64_t{2} * period];
  }
  hash_rows = fmix(((above | (above2 << 8)) * kHashA) ^ (period * kHashB) ^ salt(14));
  hash_row_byte = fmix(((above | (c << 8)) * kHashA) ^ (period * kHashB) ^ salt(15));
}

}  // namespace ixo::cm
