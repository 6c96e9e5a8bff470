// The state of one rebuild run, shared by its stages: what it records, its output tree, staging numbers and the
// queue of files on their way out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "restore/extract.h"
#include "restore/output_tree.h"
#include "restore/publish.h"
#include "restore/run_record.h"
#include "platform/file_time.h"

namespace ixo::pack {

class OutgoingFiles;

struct RebuildRun {
  const Archive& archive;
  const std::optional<std::filesystem::path>& out;  // absent in test mode
  const RebuildOptions& options;
  RunRecord& record;
  StagingState staging{};
  OutputTree* tree = nullptr;     // present in an extraction
  OutgoingFiles* outgoing = nullptr;  // every regular file ends through it
  std::vector<std::string> made_in_hand{};  // the folders made for the regular file in hand

  bool testing() const { return !out.has_value(); }
};

// The stored time of an entry: none below 1 second; InvalidData "file timestamp is outside the platform
// range" when seconds plus carried nanoseconds do not fit.
Result<std::optional<platform::FileTime>> entry_time(const format::FileEntry& entry);
// The permission bits of an entry, none when it stores none.
std::optional<uint32_t> entry_mode(const format::FileEntry& entry);

// One regular file: rebuilt, verified and, in an extraction, published. Only fatal errors are returned.
Status rebuild_regular(RebuildRun& run, BlockFeed& feed, const format::FileEntry& entry);

// The directories of files whose place under out is free before anything is written.
std::vector<const format::FileEntry*> gather_new_dirs(Selection files, const std::filesystem::path& out);
// Directories, then hard links, then symbolic links; per-entry failures only.
void restore_links_and_dirs(RebuildRun& run, Selection files);
// Deepest first: the stored time and permission bits of each new directory, never through a symbolic link.
Status finish_new_dirs(std::vector<const format::FileEntry*> new_dirs, OutputTree& tree);

}  // namespace ixo::pack
