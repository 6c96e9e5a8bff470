#include "restore/links.h"

#include <algorithm>

#include "codec/codec.h"
#include "platform/dir_entries.h"
#include "platform/faults.h"
#include "restore/link_judge.h"
#include "restore/output_path.h"
#include "restore/rebuild_run.h"
#include "util/text.h"

namespace ixo::pack {

namespace {

constexpr format::EntryKind PASS_ORDER[] = {format::Directory, format::HardLink, format::Symlink};

// The place of an entry of these passes, its folders made, its folder found still in place.
Result<Place> enter(const RebuildRun& run, std::string_view path) {
  (void)platform::faults::injected(platform::faults::Call::Place);
  Result<Place> place = run.tree->place_entry(path);
  if (!place) return place;
  if (Status ok = run.tree->check_in_place(*place->parent); !ok) return fail(ok.error());
  return place;
}

Status restore_dir(const RebuildRun& run, const format::FileEntry& e) {
  if (run.testing()) return {};
  Result<Place> place = enter(run, e.path);
  if (!place) return fail(place.error());
  Result<platform::Metadata> there = platform::symlink_metadata_at(place->parent->dir, place->name);
  if (there) {
    if (there->type == platform::FileType::Directory) return {};  // an existing folder is used as it is
    return fail(Error::message(ErrorKind::AlreadyExists, "output exists and is not a directory"));
  }
  if (there.error().kind() != ErrorKind::NotFound) return fail(there.error());
  return platform::make_dir_at(place->parent->dir, place->name);
}

Status restore_hard_link(const RebuildRun& run, const format::FileEntry& e) {
  const std::optional<platform::FileId>* target = run.record.restored(e.link_target);
  const Error not_restored = codec::invalid(cat("the file it links to (", e.link_target, ") was not restored"));
  if (target == nullptr) return fail(not_restored);
  if (run.testing()) return {};
  Result<Place> link = enter(run, e.path);
  if (!link) return fail(link.error());
  // The target is reached again below the output folder, and must still be the very file restored there.
  Result<platform::File> folder = run.tree->open_folder(folder_of(e.link_target));
  if (!folder) {
    if (platform::not_a_real_directory(folder.error())) return fail(codec::invalid("output parent is not a real directory"));
    return fail(folder.error());
  }
  const std::string_view name = last_piece(e.link_target);
  Result<platform::Metadata> standing = platform::symlink_metadata_at(*folder, name);
  if (!standing || !target->has_value() || platform::id_of(*standing) != **target) return fail(not_restored);
  return platform::hard_link_at(*folder, name, link->parent->dir, link->name);
}

// What stands below the output folder, looked up through the tree.
LookUp on_disk(OutputTree& tree) {
  return [&tree](std::string_view path) -> Standing {
    auto nothing = [](const Error& e) { return e.kind() == ErrorKind::NotFound || e.os_error() == ENOTDIR; };
    Result<platform::File> folder = tree.open_folder(folder_of(path));
    if (!folder) return {nothing(folder.error()) ? Standing::Nothing : Standing::Unknown};
    const std::string_view name = last_piece(path);
    Result<platform::Metadata> m = platform::symlink_metadata_at(*folder, name);
    if (!m) return {nothing(m.error()) ? Standing::Nothing : Standing::Unknown};
    if (m->type == platform::FileType::Directory) return {Standing::Folder};
    if (m->type != platform::FileType::Symlink) return {Standing::Other};
    Result<std::string> text = platform::read_link_at(*folder, name);
    if (!text) return {Standing::Unknown};
    return {Standing::Link, std::move(*text)};
  };
}

struct MadeLink {
  const format::FileEntry* entry;
  platform::FileId id;
  bool removed = false;
};

// Once made, every link is followed again on disk, where another process may have changed what it passes
// through: one that now leads outside is taken back, as long as it is still the link made.
void take_back_links_leading_outside(RebuildRun& run, std::vector<MadeLink>& made) {
  for (bool removed = true; removed;) {
    removed = false;
    const LookUp disk = on_disk(*run.tree);
    for (MadeLink& link : made) {
      if (link.removed || leads_inside(link.entry->path, link.entry->link_target, disk)) continue;
      Result<platform::File> folder = run.tree->open_folder(folder_of(link.entry->path));
      if (!folder) continue;
      const std::string_view name = last_piece(link.entry->path);
      Result<platform::Metadata> standing = platform::symlink_metadata_at(*folder, name);
      if (!standing || platform::id_of(*standing) != link.id || !platform::remove_at(*folder, name)) continue;
      link.removed = removed = true;
      run.record.link_refused(*link.entry);
    }
  }
}

void restore_symlinks(RebuildRun& run, Selection files) {
  std::vector<const format::FileEntry*> links;
  std::vector<LinkToMake> judged;
  for (const format::FileEntry* e : files) {
    if (e->kind != format::Symlink) continue;
    links.push_back(e);
    // A link refused by its text, or whose own path is unsafe (its failure comes from its place), is not judged.
    if (!run.testing() && symlink_stays_inside(e->path, e->link_target) && check_archive_path(e->path))
      judged.push_back({e->path, e->link_target});
  }
  const std::vector<bool> inside = run.testing() ? std::vector<bool>() : links_leading_inside(judged, on_disk(*run.tree));

  std::vector<MadeLink> made;
  size_t next_judged = 0;
  for (const format::FileEntry* e : links) {
    if (run.testing()) {  // the target is not examined
      run.record.progress();
      continue;
    }
    const bool was_judged = next_judged < judged.size() && judged[next_judged].path.data() == e->path.data();
    const bool text_inside = was_judged || symlink_stays_inside(e->path, e->link_target);
    if (!text_inside || (was_judged && !inside[next_judged++])) {
      run.record.link_refused(*e);
    } else if (Result<Place> place = enter(run, e->path); !place) {
      run.record.failed(e->path, place.error());
    } else if (Status ok = platform::symlink_at(e->link_target, place->parent->dir, place->name); !ok) {
      run.record.failed(e->path, ok.error());
    } else if (Result<platform::Metadata> m = platform::symlink_metadata_at(place->parent->dir, place->name); m) {
      made.push_back({e, platform::id_of(*m)});
    }
    run.record.progress();
  }
  if (!made.empty()) take_back_links_leading_outside(run, made);
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
    if (kind == format::Symlink) {
      restore_symlinks(run, files);
      continue;
    }
    for (const format::FileEntry* e : files) {
      if (e->kind != kind) continue;
      Status ok = kind == format::Directory ? restore_dir(run, *e) : restore_hard_link(run, *e);
      if (!ok) run.record.failed(e->path, ok.error());
      run.record.progress();
    }
  }
}

}  // namespace ixo::pack
