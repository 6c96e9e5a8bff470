// Finds a fixed record length from the gaps between repeats of each byte value.
#pragma once

#include <array>
#include <cstdint>

namespace ixo::cm {

struct RecordModel {
  static constexpr uint32_t kMaxPeriod = 65535;
  static constexpr uint32_t kConfirmations = 16;  // a candidate is taken when confirmed more often

  // c is the byte just decoded and pos the history length after it was appended. Writes the
  // two record context hashes.
  void update(uint32_t c, uint64_t pos, const uint8_t* history, uint32_t& hash_rows, uint32_t& hash_row_byte);

  // Per byte value, the last four positions after which it was decoded, newest first.
  std::array<std::array<uint32_t, 4>, 256> last_pos{};
  uint32_t period = 0;
  uint32_t candidate = 0;
  uint32_t repeat_count = 0;
};

}  // namespace ixo::cm
