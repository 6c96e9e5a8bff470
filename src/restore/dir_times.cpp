#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>

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

// The folder that holds path's last piece under out, reached one piece at a time without following any
// symbolic link below out: a link that now stands on the way is never followed.
Result<platform::File> parent_below(const std::filesystem::path& out, std::string_view path) {
  Result<platform::File> dir = platform::File::pass_dir(out);
  for (size_t start = 0; dir;) {
    const size_t end = path.find('/', start);
    if (end == std::string_view::npos) return dir;
    Result<platform::File> next = dir->pass_dir_at(path.substr(start, end - start));
    if (!next && not_a_real_directory(next.error()))
      return fail(codec::invalid("output parent is not a real directory"));
    dir = std::move(next);
    start = end + 1;
  }
  return dir;
}

// Opens what stands at the handle's place for reading, as long as it is still the same file and one that
// opening cannot disturb (a directory or a regular file). Nothing when it cannot be opened.
std::optional<platform::File> open_for_time(const platform::File& parent, std::string_view name,
                                            const platform::Metadata& handle) {
  if (handle.type != platform::FileType::Directory && handle.type != platform::FileType::Regular) return std::nullopt;
  Result<platform::File> file = parent.open_read_at(name);
  if (!file) return std::nullopt;
  const Result<platform::Metadata> m = platform::metadata_of(*file);
  if (!m || m->device != handle.device || m->inode != handle.inode) return std::nullopt;
  return std::move(*file);
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

    // What cannot be reached keeps its time; its mode cannot be set without following a link either.
    Result<platform::File> parent = parent_below(out, d->path);
    if (!parent) {
      if (mode) return fail(parent.error());
      continue;
    }
    const std::string_view name = last_piece(d->path);
    Result<platform::File> handle = parent->handle_at(name);
    if (!handle) {
      if (mode) return fail(handle.error());
      continue;
    }
    const Result<platform::Metadata> standing = platform::metadata_of(*handle);
    if (!standing) return fail(standing.error());
    if (standing->type == platform::FileType::Symlink) {
      if (mode) return fail(codec::invalid("output exists and is not a directory"));
      continue;
    }
    // What cannot be opened for reading keeps its time, silently; its mode is still set.
    std::optional<platform::File> readable = *time ? open_for_time(*parent, name, *standing) : std::nullopt;
    if (readable) {
      if (Status ok = readable->set_modified(**time); !ok) return ok;
    }
    if (mode) {
      if (Status ok = readable ? readable->set_permissions(*mode) : handle->set_handle_permissions(*mode); !ok) return ok;
    }
  }
  return {};
}

}  // namespace ixo::pack
