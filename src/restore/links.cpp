#include "restore/links.h"

#include <algorithm>

#include "codec/codec.h"
#include "restore/output_path.h"
#include "restore/rebuild_run.h"
#include "platform/fs.h"
#include "util/text.h"

namespace ixo::pack {

namespace {

constexpr format::EntryKind PASS_ORDER[] = {format::Directory, format::HardLink, format::Symlink};

Status restore_dir(const RebuildRun& run, const format::FileEntry& e) {
  if (run.testing()) return {};
  Result<std::filesystem::path> final_path = output_path(*run.out, e.path);
  if (!final_path) return fail(final_path.error());
  Result<platform::Metadata> there = platform::symlink_metadata(*final_path);
  if (there) {
    if (there->type == platform::FileType::Directory) return {};  // an existing folder is used as it is
    return fail(Error::message(ErrorKind::AlreadyExists, "output exists and is not a directory"));
  }
  if (there.error().kind() != ErrorKind::NotFound) return fail(there.error());
  return platform::create_dir(*final_path);
}

Status restore_hard_link(const RebuildRun& run, const format::FileEntry& e) {
  const auto target = run.restored.find(e.link_target);
  if (target == run.restored.end())
    return fail(codec::invalid(cat("the file it links to (", e.link_target, ") was not restored")));
  if (run.testing()) return {};
  Result<std::filesystem::path> link = output_path(*run.out, e.path);
  if (!link) return fail(link.error());
  return platform::hard_link(*target->second, *link);
}

Status restore_symlink(RebuildRun& run, const format::FileEntry& e) {
  if (run.testing()) return {};  // the target is not examined
  if (!symlink_stays_inside(e.path, e.link_target)) {
    ++run.skipped_symlinks;
    run.print(cat("\nnot restored: ", e.path, " -> ", e.link_target, " points outside the output folder\n"));
    return {};
  }
  Result<std::filesystem::path> link = output_path(*run.out, e.path);
  if (!link) return fail(link.error());
  return platform::symlink(e.link_target, *link);
}

}  // namespace

bool symlink_stays_inside(std::string_view link_path, std::string_view target) {
  if (target.starts_with('/')) return false;
  if (target.find_first_of(":\\") != std::string_view::npos) return false;
  uint64_t depth = static_cast<uint64_t>(std::count(link_path.begin(), link_path.end(), '/'));
  for (size_t start = 0;;) {
    const size_t end = target.find('/', start);
    const std::string_view piece = target.substr(start, end == std::string_view::npos ? end : end - start);
    if (piece == "..") {
      if (depth == 0) return false;
      --depth;
    } else if (!piece.empty() && piece != ".") {
      ++depth;
    }
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

void restore_links_and_dirs(RebuildRun& run, Selection files) {
  for (const format::EntryKind kind : PASS_ORDER) {
    for (const format::FileEntry* e : files) {
      if (e->kind != kind) continue;
      Status ok = kind == format::Directory ? restore_dir(run, *e)
                  : kind == format::HardLink ? restore_hard_link(run, *e)
                                             : restore_symlink(run, *e);
      if (!ok) run.failed(e->path, ok.error());
      run.progress();
    }
  }
}

}  // namespace ixo::pack
