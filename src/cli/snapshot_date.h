// The date column of the snapshot lines of a listing.
#pragma once

#include <cstdint>
#include <string>

namespace ixo::cli {

// "-" for a time below 1 (none stored), else "YYYY-MM-DD HH:MM UTC", the seconds dropped. Years above 9999 keep
// all their digits.
std::string snapshot_date(int64_t unix_seconds);

}  // namespace ixo::cli
