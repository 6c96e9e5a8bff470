#include <algorithm>
#include <cerrno>

#include "codec/codec.h"
#include "restore/output_path.h"
#include "restore/rebuild_run.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace ixo::pack {

namespace {

// Pieces of the path split at every '/', empty ones included.
uint64_t path_depth_key(const format::FileEntry& e) {
  return 1 + static_cast<uint64_t>(std::count(e.path.begin(), e.path.end(), '/'));
}

bool not_a_real_directory(const Error& e) {
  const auto os = e.os_error();
  return os && (*os == ELOOP || *os == ENOTDIR);
}

// The directory at path under out, reached one piece at a time without following any symbolic link below
// out: a link that now stands at such a place, or on the way to it, is never followed.
Result<platform::File> open_below(const std::filesystem::path& out, std::string_view path) {
  Result<platform::File> dir = platform::File::pass_dir(out);
  if (!dir) return dir;
  for (size_t start = 0;;) {
    const size_t end = path.find('/', start);
    const std::string_view piece = path.substr(start, end == std::string_view::npos ? end : end - start);
    const bool last = end == std::string_view::npos;
    Result<platform::File> next = last ? dir->open_dir_at(piece) : dir->pass_dir_at(piece);
    if (!next) {
      if (!not_a_real_directory(next.error())) return next;
      return fail(codec::invalid(last ? "output exists and is not a directory" : "output parent is not a real directory"));
    }
    if (last) return next;
    dir = std::move(next);
    start = end + 1;
  }
}

}  // namespace

std::vector<const format::FileEntry*> gather_new_dirs(Selection files, const std::filesystem::path& out) {
  std::vector<const format::FileEntry*> new_dirs;
  for (const format::FileEntry* e : files) {
    if (e->kind != format::Directory) continue;
    Result<std::filesystem::path> place = safe_join(out, e->path);
    if (!place) continue;  // the directory pass reports it
    if (!platform::symlink_metadata(*place)) new_dirs.push_back(e);
  }
  return new_dirs;
}

Status finish_new_dirs(std::vector<const format::FileEntry*> new_dirs, const std::filesystem::path& out) {
  std::stable_sort(new_dirs.begin(), new_dirs.end(), [](const format::FileEntry* a, const format::FileEntry* b) {
    return path_depth_key(*a) > path_depth_key(*b);
  });
  for (const format::FileEntry* d : new_dirs) {
    if (Result<std::filesystem::path> place = safe_join(out, d->path); !place) return fail(place.error());
    Result<std::optional<platform::FileTime>> time = entry_time(*d);
    if (!time) return fail(time.error());
    const std::optional<uint32_t> mode = entry_mode(*d);

    Result<platform::File> dir = open_below(out, d->path);
    if (!dir) {
      // A directory that cannot be opened keeps its time; its mode cannot be set safely either.
      if (mode) return fail(dir.error());
      continue;
    }
    if (*time) {
      if (Status ok = dir->set_modified(**time); !ok) return ok;
    }
    if (mode) {
      if (Status ok = dir->set_permissions(*mode); !ok) return ok;
    }
  }
  return {};
}

}  // namespace ixo::pack
