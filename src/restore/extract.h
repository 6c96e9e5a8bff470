// An extraction or test run of a selection: every regular file rebuilt, verified and published through a
// staging file, then directories, hard links and symbolic links, then the times and modes of new directories.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "error.h"
#include "archive/archive.h"
#include "pipeline/block_feed.h"
#include "pipeline/read_plan.h"
#include "transform/registry.h"

namespace ixo::pack {

struct ExtractCounts {
  uint64_t files = 0;     // regular files in the selection, whatever their outcome
  uint64_t failures = 0;  // entries of any kind that failed

  friend bool operator==(const ExtractCounts&, const ExtractCounts&) = default;
};

struct RebuildOptions {
  // The transform row of an id; tests put rows with failing or crashing decoders here.
  const transform::TransformSpec* (*find_transform)(uint8_t id) = transform::find;
  // Progress, failure lines and warnings.
  std::FILE* diagnostics = stderr;
  // Reach the output tree one piece at a time, as where the system refuses openat2.
  bool walk_only = false;
};

// Writes (out present) or only tests (out absent) every entry of files, with max(threads, 1) decoding workers.
// Per-entry failures are printed and counted; the first fatal error ends the run and is returned.
Result<ExtractCounts> extract_selected(const Archive& archive, Selection files, uint64_t threads,
                                       const std::optional<std::filesystem::path>& out,
                                       const RebuildOptions& options = {});

// The callback of extract_selected, run once with the run's feed.
Result<ExtractCounts> rebuild_files(const Archive& archive, BlockFeed& feed, Selection files,
                                    const std::optional<std::filesystem::path>& out,
                                    const RebuildOptions& options = {});

}  // namespace ixo::pack
