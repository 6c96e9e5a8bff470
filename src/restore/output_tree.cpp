#include "restore/output_tree.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>

#include "codec/codec.h"
#include "platform/dir_entries.h"
#include "platform/directory.h"
#include "restore/output_path.h"

namespace ixo::pack {

namespace {

Error not_a_real_parent() { return codec::invalid("output parent is not a real directory"); }

// Past this many names a made folder is judged by look-ups again, so that the names kept stay few.
constexpr size_t GIVEN_NAMES_KEPT = 1 << 16;

// The system refuses a path of PATH_MAX bytes or more; the entries of such a path could not be named by the
// passes that follow, so they are refused here as the system would.
Status fits(size_t length) {
  if (length >= PATH_MAX) return fail(Error::os(ENAMETOOLONG));
  return {};
}

Result<platform::FileId> id_of(const platform::File& dir) {
  Result<platform::Metadata> m = platform::metadata_of(dir);
  if (!m) return fail(m.error());
  return platform::id_of(*m);
}

}  // namespace

OutputTree::OutputTree(std::filesystem::path root, bool walk_only) : root_(std::move(root)), beneath_(walk_only) {}

Status OutputTree::open_root() {
  if (Status ok = platform::make_dirs(root_); !ok) return ok;
  Result<platform::Metadata> standing = platform::symlink_metadata(root_);
  if (!standing) return fail(standing.error());
  if (standing->type != platform::FileType::Directory) return fail(codec::invalid("output root is not a real directory"));
  Result<std::filesystem::path> canonical = platform::canonical(root_);
  if (!canonical) return fail(canonical.error());
  // The folders above the output folder may be links; the output folder itself is what was just looked at.
  Result<platform::File> dir = platform::File::pass_dir(*canonical);
  if (!dir) return fail(dir.error());
  Result<platform::FileId> id = id_of(*dir);
  if (!id) return fail(id.error());
  if (*id != platform::id_of(*standing)) return fail(codec::invalid("output root is not a real directory"));
  canonical_ = canonical->native();
  const platform::FlushWay flush = dir->flush_way();
  root_folder_ = std::make_shared<const HeldFolder>(HeldFolder{std::move(*dir), {}, *id, flush});
  parent_ = root_folder_;
  return {};
}

Result<platform::File> OutputTree::open_folder(std::string_view relative) {
  if (!opened()) {
    if (Status ok = open_root(); !ok) return fail(ok.error());
  }
  return beneath_.open(root_folder_->dir, relative, platform::Reach::Pass);
}

Result<platform::File> OutputTree::open_held(std::string_view path, platform::FileId id) {
  Result<platform::File> dir = beneath_.open(root_folder_->dir, path, platform::Reach::Pass);
  if (!dir) {
    if (platform::not_a_real_directory(dir.error()) || dir.error().kind() == ErrorKind::NotFound)
      return fail(not_a_real_parent());
    return dir;
  }
  Result<platform::FileId> found = id_of(*dir);
  if (!found) return fail(found.error());
  if (*found != id) return fail(not_a_real_parent());
  return dir;
}

Status OutputTree::record_use(const std::string& path, platform::FileId id) {
  auto [at, added] = used_.try_emplace(path, id);
  if (!added && at->second != id) return fail(not_a_real_parent());
  return {};
}

Status OutputTree::check_in_place(const HeldFolder& folder) {
  if (folder.path.empty()) return {};  // the output folder itself: check_all looks at it
  if (Result<platform::File> dir = open_held(folder.path, folder.id); !dir) return fail(dir.error());
  return {};
}

Status OutputTree::check_all() {
  if (!opened()) return {};
  Result<platform::Metadata> standing = platform::symlink_metadata(canonical_);
  if (!standing || standing->type != platform::FileType::Directory || platform::id_of(*standing) != root_folder_->id)
    return fail(codec::invalid("output root is not a real directory"));
  for (const auto& [path, id] : used_) {
    if (Result<platform::File> dir = open_held(path, id); !dir) return fail(dir.error());
  }
  return {};
}

void OutputTree::remove_if_empty(std::span<const std::string> made) {
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    const std::string_view name = last_piece(*it);
    Result<platform::File> parent = open_folder(folder_of(*it));
    if (!parent) continue;
    const auto used = used_.find(*it);
    Result<platform::Metadata> standing = platform::symlink_metadata_at(*parent, name);
    if (used == used_.end() || !standing || platform::id_of(*standing) != used->second) continue;
    if (platform::remove_dir_at(*parent, name)) used_.erase(used);
  }
  // What is held may be gone; the next entry walks from the output folder.
  chain_.clear();
  parent_ = root_folder_;
}

std::filesystem::path OutputTree::final_path(std::string_view path) const {
  std::string joined = canonical_;
  if (joined.back() != '/') joined += '/';
  joined.append(path);
  return std::filesystem::path(std::move(joined));
}

// Another folder than the last entry's: the way down is taken again from the output folder, and the part of it
// that is kept must still be the folders held there.
Status OutputTree::enter(std::span<const std::string_view> folders, size_t kept, std::vector<std::string>& made) {
  chain_.resize(kept);
  std::string current;
  for (size_t i = 0; i < kept; ++i) {
    if (i > 0) current += '/';
    current.append(folders[i]);
  }
  Result<platform::File> start_at = kept == 0 ? beneath_.open(root_folder_->dir, {}, platform::Reach::Pass)
                                              : open_held(current, chain_[kept - 1].id);
  if (!start_at) return fail(start_at.error());
  platform::File here = std::move(*start_at);
  platform::FlushWay flush = kept == 0 ? root_folder_->flush : chain_.back().flush;
  for (size_t i = kept; i < folders.size(); ++i) {
    const std::string_view piece = folders[i];
    const size_t length = canonical_.size() + 1 + current.size() + 1 + piece.size();
    if (Status ok = fits(length); !ok) return fail(ok.error());
    Result<platform::File> dir = here.pass_dir_at(piece);
    bool made_here = false;
    if (!dir && dir.error().kind() == ErrorKind::NotFound) {
      if (Status ok = platform::make_dir_at(here, piece); !ok) return fail(ok.error());
      made_here = true;
      dir = here.pass_dir_at(piece);
    }
    if (!dir) {
      if (platform::not_a_real_directory(dir.error())) return fail(not_a_real_parent());
      return fail(dir.error());
    }
    if (!current.empty()) current += '/';
    current.append(piece);
    Result<platform::FileId> id = id_of(*dir);
    if (!id) return fail(id.error());
    if (Status ok = record_use(current, *id); !ok) return fail(ok.error());
    if (made_here) made.push_back(current);
    // A folder made here lies on its parent's file system; one that was there may be a mount point.
    if (!made_here) flush = dir->flush_way();
    if (i > 0 && chain_[i - 1].made) chain_[i - 1].given.emplace(piece);
    chain_.push_back({std::string(piece), *id, flush, made_here});
    here = std::move(*dir);
  }
  if (folders.empty()) {
    parent_ = root_folder_;
  } else {
    parent_ = std::make_shared<const HeldFolder>(HeldFolder{std::move(here), std::move(current), chain_.back().id, flush});
  }
  return {};
}

Result<Place> OutputTree::place_file(std::string_view path) { return place(path, true); }

Result<Place> OutputTree::place_entry(std::string_view path) { return place(path, false); }

Result<Place> OutputTree::place(std::string_view path, bool look_at_name) {
  if (Status tested = check_archive_path(path); !tested) return fail(tested.error());
  if (!opened()) {
    if (Status ok = open_root(); !ok) return fail(ok.error());
  }

  // The pieces of path that name folders, then the entry's own name.
  std::vector<std::string_view> folders;
  size_t start = 0;
  for (size_t slash; (slash = path.find('/', start)) != std::string_view::npos; start = slash + 1)
    folders.push_back(path.substr(start, slash - start));
  const std::string_view name = path.substr(start);

  size_t kept = 0;  // folders shared with the previous entry's
  while (kept < folders.size() && kept < chain_.size() && chain_[kept].name == folders[kept]) ++kept;
  std::vector<std::string> made;
  if (kept < chain_.size() || kept < folders.size()) {
    if (Status ok = enter(folders, kept, made); !ok) {
      // Half a way down is no way: the next entry starts again from the output folder.
      chain_.clear();
      parent_ = root_folder_;
      return fail(ok.error());
    }
  }

  if (Status ok = fits(canonical_.size() + 1 + path.size()); !ok) return fail(ok.error());
  if (look_at_name) {
    Level* level = chain_.empty() ? nullptr : &chain_.back();
    if (level && level->made && level->given.size() >= GIVEN_NAMES_KEPT) {
      level->made = false;
      level->given = {};
    }
    if (!level || !level->made || !level->given.emplace(name).second) {
      // Anything at all stands there (a dangling link too): never overwritten. A look-up that fails for another
      // reason than a missing name cannot tell, so it ends the run as well.
      Result<platform::Metadata> there = platform::symlink_metadata_at(parent_->dir, name);
      if (there) return fail(Error::message(ErrorKind::AlreadyExists, "output already exists"));
      if (there.error().kind() != ErrorKind::NotFound) return fail(there.error());
    }
  }
  return Place{parent_, std::string(name), std::move(made)};
}

}  // namespace ixo::pack
