#include <algorithm>

#include "pipeline/pipeline.h"
#include "platform/descriptors.h"
#include "platform/fs.h"
#include "restore/outgoing_files.h"
#include "restore/rebuild_run.h"
#include "util/text.h"

namespace ixo::pack {

namespace {

// Verified files in flight at once, a group's worth: each holds a descriptor until it is linked.
constexpr unsigned FILES_IN_FLIGHT = 2048;
// Descriptors a run needs besides its files in flight: the folders it holds, the flush ring, a decoder's child.
constexpr uint64_t DESCRIPTORS_KEPT = 8;

// As many files in flight as the descriptors left allow, each with its staging file and perhaps its own folder;
// at the least one, as files finished one at a time.
unsigned files_in_flight() {
  const uint64_t left = platform::descriptors_left();
  const uint64_t room = left > DESCRIPTORS_KEPT ? (left - DESCRIPTORS_KEPT) / 2 : 0;
  return static_cast<unsigned>(std::clamp<uint64_t>(room, 1, FILES_IN_FLIGHT));
}

}  // namespace

Result<ExtractCounts> extract_selected(const Archive& archive, Selection files, uint64_t threads,
                                       const std::optional<std::filesystem::path>& out,
                                       const RebuildOptions& options) {
  return with_feed(archive, files, threads,
                   [&](BlockFeed& feed) { return rebuild_files(archive, feed, files, out, options); });
}

Result<ExtractCounts> rebuild_files(const Archive& archive, BlockFeed& feed, Selection files,
                                    const std::optional<std::filesystem::path>& out,
                                    const RebuildOptions& options) {
  RunRecord record(options.diagnostics, files);
  RebuildRun run{.archive = archive, .out = out, .options = options, .record = record};
  ExtractCounts counts;
  for (const format::FileEntry* e : files) {
    if (e->kind == format::Regular) ++counts.files;
  }

  // Taken before the first write: only directories this run creates get their time and mode at the end.
  std::vector<const format::FileEntry*> new_dirs;
  if (out) new_dirs = gather_new_dirs(files, *out);

  std::optional<OutputTree> tree;
  if (out) {
    tree.emplace(*out, options.walk_only);
    run.tree = &*tree;
    run.staging.pid = platform::process_id();
  }
  {
    OutgoingFiles outgoing(record, run.tree, run.staging, out ? files_in_flight() : 1);
    run.outgoing = &outgoing;
    for (const format::FileEntry* e : files) {
      if (e->kind != format::Regular) continue;
      // Once a flush has failed no file starts; the failure comes out of the drain below.
      if (outgoing.stopping()) break;
      if (Status ok = rebuild_regular(run, feed, *e); !ok)
        return fail(outgoing.stop_at(std::move(ok.error()), std::move(run.made_in_hand)).error());
    }
    if (Status ok = outgoing.drain(); !ok) return fail(ok.error());
    run.outgoing = nullptr;
  }
  restore_links_and_dirs(run, files);
  if (record.skipped_symlinks() > 0)
    record.print(cat("\nwarning: ", record.skipped_symlinks(), " symlink(s) not restored (see above)\n"));
  // Every entry's line is out before the closing pass starts.
  record.write_out();
  if (out) {
    // No run reports a tree that another process moved or replaced while it went.
    if (Status ok = tree->check_all(); !ok) return fail(ok.error());
    if (Status ok = finish_new_dirs(std::move(new_dirs), *tree); !ok) return fail(ok.error());
  }
  counts.failures = record.failures();
  return counts;
}

}  // namespace ixo::pack
