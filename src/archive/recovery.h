// The backward search for the last archive state that reads completely.
#pragma once

#include <cstdint>
#include <optional>

#include "archive/recovery_reads.h"
#include "format/records.h"
#include "platform/file.h"

namespace ixo::pack {

inline constexpr uint64_t RECOVERY_WINDOW = 1 << 20;

struct EarlierState {
  format::Index index;
  uint64_t end = 0;  // just past that state's footer
};

// The latest state ending below end whose whole chain reads and verifies, or nothing; end is the archive's
// length. work, when given, receives what the search did.
std::optional<EarlierState> find_earlier_footer(const platform::File& file, uint64_t end, uint16_t header_version,
                                                RecoveryWork* work = nullptr);

}  // namespace ixo::pack
