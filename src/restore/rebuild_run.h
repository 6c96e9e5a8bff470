// The state of one rebuild run, shared by its stages: counters, the restored files, staging numbers and the
// lines it prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "error.h"
#include "restore/extract.h"
#include "restore/publish.h"
#include "platform/file_time.h"

namespace ixo::pack {

class PublishQueue;

struct RebuildRun {
  const Archive& archive;
  const std::optional<std::filesystem::path>& out;  // absent in test mode
  const RebuildOptions& options;
  uint64_t total = 0;
  uint64_t done = 0;
  uint64_t failures = 0;
  uint64_t skipped_symlinks = 0;
  StagingState staging{};
  OutputTree* tree = nullptr;      // present in an extraction
  PublishQueue* queue = nullptr;   // every regular file ends through it
  // Archive path -> final path of every regular file that passed its checks (no path in test mode). Only the
  // targets of the selection's hard links are entered: nothing else looks a file up.
  std::map<std::string, std::optional<std::filesystem::path>, std::less<>> restored{};
  std::unordered_set<std::string_view> link_targets{};  // of the selection's hard links

  // Text not yet written: progress lines alone go out at most every PROGRESS_INTERVAL, anything else at once,
  // so that the stream holds the same bytes in fewer writes.
  std::string unwritten{};
  std::chrono::steady_clock::time_point written_at{};

  static constexpr std::chrono::milliseconds PROGRESS_INTERVAL{50};

  // Whatever is left goes out before the run's result is seen.
  ~RebuildRun() { write_out(); }

  bool testing() const { return !out.has_value(); }
  bool is_link_target(std::string_view path) const { return link_targets.contains(path); }
  // Writes text to the diagnostics stream as one piece, after what is still unwritten; progress alone may wait.
  void print(std::string_view text, bool progress_only = false);
  void write_out();
  // "\r  file {done}/{total}" after one more entry.
  void progress();
  // "\nFAILED: {path}: {error}\n", counted.
  void failed(std::string_view path, const Error& error);
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
Status finish_new_dirs(std::vector<const format::FileEntry*> new_dirs, const std::filesystem::path& out);

}  // namespace ixo::pack
