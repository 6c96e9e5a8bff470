#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>

#include "codec/codec.h"
#include "restore/output_path.h"
#include "restore/rebuild_run.h"
#include "platform/beneath.h"
#include "platform/dir_entries.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace ixo::pack {

namespace {

// Pieces of the path split at every '/', empty ones included.
uint64_t path_depth_key(const format::FileEntry& e) {
  return 1 + static_cast<uint64_t>(std::count(e.path.begin(), e.path.end(), '/'));
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
  // Nothing is made here: without an output folder every directory is new.
  Result<platform::File> root = platform::File::pass_dir(out);
  platform::Beneath beneath;
  for (const format::FileEntry* e : files) {
    if (e->kind != format::Directory) continue;
    if (!check_archive_path(e->path)) continue;  // the directory pass reports it
    if (!root || !beneath.open(*root, e->path, platform::Reach::Handle)) new_dirs.push_back(e);
  }
  return new_dirs;
}

Status finish_new_dirs(std::vector<const format::FileEntry*> new_dirs, OutputTree& tree) {
  std::stable_sort(new_dirs.begin(), new_dirs.end(), [](const format::FileEntry* a, const format::FileEntry* b) {
    return path_depth_key(*a) > path_depth_key(*b);
  });
  for (const format::FileEntry* d : new_dirs) {
    if (Status ok = check_archive_path(d->path); !ok) return ok;
    Result<std::optional<platform::FileTime>> time = entry_time(*d);
    if (!time) return fail(time.error());
    const std::optional<uint32_t> mode = entry_mode(*d);

    // What cannot be reached keeps its time; its mode cannot be set without following a link either. A
    // symbolic link on the way is never followed; a file there is the system's own error.
    const std::string_view name = last_piece(d->path);
    Result<platform::File> parent = tree.open_folder(folder_of(d->path));
    if (!parent) {
      if (!mode) continue;
      const std::optional<int> os = parent.error().os_error();
      if (os == ELOOP || os == EXDEV) return fail(codec::invalid("output parent is not a real directory"));
      return fail(parent.error());
    }
    Result<platform::Metadata> standing = platform::symlink_metadata_at(*parent, name);
    if (!standing) {
      if (mode) return fail(standing.error());
      continue;
    }
    if (standing->type == platform::FileType::Symlink) {
      if (mode) return fail(codec::invalid("output exists and is not a directory"));
      continue;
    }
    // What cannot be opened for reading keeps its time, silently; its mode is still set.
    std::optional<platform::File> readable = open_for_time(*parent, name, *standing);
    if (readable && *time) {
      if (Status ok = readable->set_modified(**time); !ok) return ok;
    }
    if (mode) {
      if (Status ok = readable ? readable->set_permissions(*mode) : platform::set_permissions_at(*parent, name, *mode); !ok)
        return ok;
    }
  }
  return {};
}

}  // namespace ixo::pack
