// One regular file on its way to its final name: its staging file next to the final path, and the finishing of
// a verified file (time and mode) before its flush and link.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "error.h"
#include "format/records.h"
#include "platform/staging_file.h"
#include "restore/output_tree.h"

namespace ixo::pack {

inline constexpr int STAGING_ATTEMPTS = 100;

inline constexpr std::string_view STAGING_PREFIX = ".ixo-restore-";

// ".ixo-restore-{pid}-{n}.tmp"
std::string staging_name(uint32_t pid, uint64_t n);

// What a run keeps for the staging files of its regular files.
struct StagingState {
  uint32_t pid = 0;               // read once per run
  uint64_t next_staging = 0;      // numbers are never reused within a run, across files and failed attempts
  platform::UnnamedLinks unnamed;  // what the system allows for files without a name
};

// A new staging file in folder: an unnamed one where the file system allows it, else the first free staging
// name. Every error is fatal.
Result<platform::StagingFile> create_staging(const std::shared_ptr<const HeldFolder>& folder, StagingState& state);

// Sets the time and mode of entry on the verified file, ahead of its flush. Every error is fatal.
Status finish_before_flush(platform::StagingFile& staging, const format::FileEntry& entry);

}  // namespace ixo::pack
