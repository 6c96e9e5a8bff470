// One regular file on its way to its final name: its place and staging file next to the final path, and the
// finishing of a verified file (time and mode) before its flush and link.
#pragma once

#include <cstdint>
#include <filesystem>
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

struct PendingOutput {
  platform::StagingFile staging;  // removed when this goes away, unless published
  Place place;
};

// What a run keeps for the staging files of its regular files.
struct StagingState {
  uint32_t pid = 0;               // read once per run
  uint64_t next_staging = 0;      // numbers are never reused within a run, across files and failed attempts
  platform::UnnamedLinks unnamed;  // what the system allows for files without a name
};

// The place of path in tree (created folders included), refused when anything stands there, and a new staging
// file in its folder: an unnamed one where the file system allows it, else the first free staging name. Every
// error is fatal. The place carries its final path only with_final_path.
Result<PendingOutput> prepare_output(OutputTree& tree, std::string_view path, StagingState& state,
                                     bool with_final_path = true);

// Sets the time and mode of entry on the verified file, ahead of its flush. Every error is fatal.
Status finish_before_flush(PendingOutput& pending, const format::FileEntry& entry);

}  // namespace ixo::pack
