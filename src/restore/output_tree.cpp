#include "restore/output_tree.h"

#include <cerrno>
#include <climits>

#include "codec/codec.h"
#include "platform/dir_entries.h"
#include "platform/directory.h"
#include "restore/output_path.h"

namespace ixo::pack {

namespace {

bool not_a_directory(const Error& e) {
  const std::optional<int> os = e.os_error();
  return os == ENOTDIR || os == ELOOP;
}

// Past this many names a made folder is judged by look-ups again, so that the names kept stay few.
constexpr size_t GIVEN_NAMES_KEPT = 1 << 16;

// The system refuses a path of PATH_MAX bytes or more; the folders and files of such a path cannot be named
// by the passes that follow, which work with whole paths, so they are refused here as the system would.
Status fits(size_t length) {
  if (length >= PATH_MAX) return fail(Error::os(ENAMETOOLONG));
  return {};
}

}  // namespace

Status OutputTree::open_root() {
  if (Status ok = platform::make_dirs(root_); !ok) return ok;
  Result<platform::EntryType> type = platform::entry_type(root_);
  if (!type) return fail(type.error());
  if (*type != platform::EntryType::Directory) return fail(codec::invalid("output root is not a real directory"));
  Result<std::filesystem::path> canonical = platform::canonical(root_);
  if (!canonical) return fail(canonical.error());
  Result<platform::File> dir = platform::File::pass_dir(*canonical);
  if (!dir) return fail(dir.error());
  canonical_ = canonical->native();
  const bool free = dir->flush_is_free();
  chain_.push_back({std::string(), std::make_shared<const platform::File>(std::move(*dir)),
                    canonical_ == "/" ? 0 : canonical_.size(), free});
  return {};
}

Result<Place> OutputTree::place(std::string_view path, bool with_final_path) {
  if (Status tested = check_archive_path(path); !tested) return fail(tested.error());
  if (chain_.empty()) {
    if (Status ok = open_root(); !ok) return fail(ok.error());
  }

  // The pieces of path that name folders, then the file's own name.
  std::vector<std::string_view> folders;
  size_t start = 0;
  for (size_t slash; (slash = path.find('/', start)) != std::string_view::npos; start = slash + 1)
    folders.push_back(path.substr(start, slash - start));
  const std::string_view name = path.substr(start);

  size_t kept = 0;  // folders shared with the previous file's
  while (kept < folders.size() && kept + 1 < chain_.size() && chain_[kept + 1].name == folders[kept]) ++kept;
  chain_.resize(kept + 1);

  for (size_t i = kept; i < folders.size(); ++i) {
    Folder& parent = chain_.back();
    const size_t length = parent.length + 1 + folders[i].size();
    if (Status ok = fits(length); !ok) return fail(ok.error());
    Result<platform::File> dir = parent.dir->pass_dir_at(folders[i]);
    bool made = false;
    if (!dir && dir.error().kind() == ErrorKind::NotFound) {
      if (Status ok = platform::make_dir_at(*parent.dir, folders[i]); !ok) return fail(ok.error());
      made = true;
      dir = parent.dir->pass_dir_at(folders[i]);
    }
    if (!dir) {
      if (not_a_directory(dir.error())) return fail(codec::invalid("output parent is not a real directory"));
      return fail(dir.error());
    }
    // A folder made here lies on its parent's file system; one that was there may be a mount point.
    const bool free = made ? parent.flush_is_free : dir->flush_is_free();
    if (parent.made) parent.given.emplace(folders[i]);
    chain_.push_back({std::string(folders[i]), std::make_shared<const platform::File>(std::move(*dir)), length, free,
                      made});
  }

  const bool slash = canonical_.back() != '/';
  if (Status ok = fits(canonical_.size() + slash + path.size()); !ok) return fail(ok.error());
  std::string final_path;
  if (with_final_path) {
    final_path.reserve(canonical_.size() + slash + path.size());
    final_path.append(canonical_);
    if (slash) final_path += '/';
    final_path.append(path);
  }

  Folder& parent = chain_.back();
  if (parent.made && parent.given.size() >= GIVEN_NAMES_KEPT) {
    parent.made = false;
    parent.given = {};
  }
  if (!parent.made || !parent.given.emplace(name).second) {
    // Anything at all stands there (a dangling link too): never overwritten. A look-up that fails for another
    // reason than a missing name cannot tell, so it ends the run as well.
    Result<platform::Metadata> there = platform::symlink_metadata_at(*parent.dir, name);
    if (there) return fail(Error::message(ErrorKind::AlreadyExists, "output already exists"));
    if (there.error().kind() != ErrorKind::NotFound) return fail(there.error());
  }
  return Place{parent.dir, std::string(name), std::filesystem::path(std::move(final_path)), parent.flush_is_free};
}

}  // namespace ixo::pack
