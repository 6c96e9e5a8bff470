// A point in time as the file system stores it: seconds since the Unix epoch and nanoseconds.
#pragma once

#include <cstdint>

namespace ixo::platform {

struct FileTime {
  int64_t seconds = 0;
  uint32_t nanos = 0;  // below 1,000,000,000

  friend bool operator==(const FileTime&, const FileTime&) = default;
};

}  // namespace ixo::platform
