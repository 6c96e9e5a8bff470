// What the system's page cache holds that has yet to reach storage.
#pragma once

#include <cstdint>

namespace ixo::platform {

// Bytes of file data waiting to be written or being written, over all file systems ("Dirty" and "Writeback" of
// /proc/meminfo); 0 when that cannot be read.
uint64_t unwritten_file_bytes();

}  // namespace ixo::platform
