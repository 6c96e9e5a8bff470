#include "platform/memory_state.h"

#include <cstdio>
#include <cstring>

namespace ixo::platform {

uint64_t unwritten_file_bytes() {
  std::FILE* file = std::fopen("/proc/meminfo", "re");
  if (file == nullptr) return 0;
  uint64_t total = 0;
  char line[128];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    unsigned long long kib = 0;
    if (std::sscanf(line, "Dirty: %llu kB", &kib) == 1 || std::sscanf(line, "Writeback: %llu kB", &kib) == 1)
      total += static_cast<uint64_t>(kib) << 10;
  }
  std::fclose(file);
  return total;
}

}  // namespace ixo::platform
