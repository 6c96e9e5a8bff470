// One regular file on its way to its final name: its staging file next to the final path, and the
// publication of a verified file (time, mode, flush to stable storage, hard link under the final name).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "error.h"
#include "format/records.h"
#include "platform/staging_file.h"

namespace ixo::pack {

inline constexpr int STAGING_ATTEMPTS = 100;

// ".ixo-restore-{pid}-{n}.tmp"
std::string staging_name(uint32_t pid, uint64_t n);

struct PendingOutput {
  platform::StagingFile staging;  // removed when this goes away, published or not
  std::filesystem::path final_path;
};

// The final path of path under out (created folders included), refused when anything stands there, and a new
// staging file in its folder. next_staging gives the number of each attempt. Every error is fatal.
Result<PendingOutput> prepare_output(const std::filesystem::path& out, std::string_view path,
                                     uint64_t& next_staging);

// Finishes the verified file (time and mode of entry, flush to stable storage, close) and links it under its
// final name, which it never replaces. Every error is fatal.
Status publish(PendingOutput& pending, const format::FileEntry& entry);

}  // namespace ixo::pack
