#include "pipeline/pipeline.h"
#include "platform/fs.h"
#include "restore/publish_queue.h"
#include "restore/rebuild_run.h"
#include "util/text.h"

namespace ixo::pack {

namespace {
// Verified files whose flush may be outstanding at once. Beyond a few dozen the file system's journal commits
// gain little more, and each file in flight holds a descriptor.
constexpr unsigned FILES_IN_FLIGHT = 32;
}  // namespace

void RebuildRun::print(std::string_view text, bool progress_only) {
  unwritten += text;
  if (progress_only && std::chrono::steady_clock::now() - written_at < PROGRESS_INTERVAL) return;
  write_out();
}

void RebuildRun::write_out() {
  if (unwritten.empty()) return;
  std::fwrite(unwritten.data(), 1, unwritten.size(), options.diagnostics);
  std::fflush(options.diagnostics);
  unwritten.clear();
  written_at = std::chrono::steady_clock::now();
}

void RebuildRun::progress() {
  ++done;
  print(cat("\r  file ", done, '/', total), true);
}

void RebuildRun::failed(std::string_view path, const Error& error) {
  ++failures;
  print(cat("\nFAILED: ", path, ": ", error.to_string(), '\n'));
}

Result<ExtractCounts> extract_selected(const Archive& archive, Selection files, uint64_t threads,
                                       const std::optional<std::filesystem::path>& out,
                                       const RebuildOptions& options) {
  return with_feed(archive, files, threads,
                   [&](BlockFeed& feed) { return rebuild_files(archive, feed, files, out, options); });
}

Result<ExtractCounts> rebuild_files(const Archive& archive, BlockFeed& feed, Selection files,
                                    const std::optional<std::filesystem::path>& out,
                                    const RebuildOptions& options) {
  RebuildRun run{.archive = archive, .out = out, .options = options};
  run.total = files.size();
  ExtractCounts counts;
  for (const format::FileEntry* e : files) {
    if (e->kind == format::Regular) ++counts.files;
    if (e->kind == format::HardLink) run.link_targets.insert(e->link_target);
  }

  // Taken before the first write: only directories this run creates get their time and mode at the end.
  std::vector<const format::FileEntry*> new_dirs;
  if (out) new_dirs = gather_new_dirs(files, *out);

  std::optional<OutputTree> tree;
  if (out) {
    tree.emplace(*out);
    run.tree = &*tree;
    run.staging.pid = platform::process_id();
  }
  {
    PublishQueue queue(run, out ? FILES_IN_FLIGHT : 1);
    run.queue = &queue;
    for (const format::FileEntry* e : files) {
      if (e->kind != format::Regular) continue;
      // Once a flush has failed no file starts; the failure comes out of the drain below.
      if (queue.stopping()) break;
      if (Status ok = rebuild_regular(run, feed, *e); !ok) {
        // The files before this one end first, and the first failure among them, in file order, wins.
        if (Status earlier = queue.drain(); !earlier) return fail(earlier.error());
        return fail(ok.error());
      }
    }
    if (Status ok = queue.drain(); !ok) return fail(ok.error());
    run.queue = nullptr;
  }
  restore_links_and_dirs(run, files);
  if (run.skipped_symlinks > 0)
    run.print(cat("\nwarning: ", run.skipped_symlinks, " symlink(s) not restored (see above)\n"));
  // Every entry's line is out before the closing pass starts.
  run.write_out();
  if (out) {
    if (Status ok = finish_new_dirs(std::move(new_dirs), *out); !ok) return fail(ok.error());
  }
  counts.failures = run.failures;
  return counts;
}

}  // namespace ixo::pack
