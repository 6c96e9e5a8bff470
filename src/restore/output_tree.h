// The output folder of an extraction and the folders below it, reached only through descriptors that the run
// holds: every entry is tested, created and linked relative to its parent folder's descriptor, which was itself
// reached from the output folder without following any symbolic link. A folder that another process moves or
// replaces while the run goes is found when the run checks it again: at every change of folder, before every
// batch of links into it, and once more at the end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "error.h"
#include "platform/beneath.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace ixo::pack {

// A folder of the output tree that the run holds open, with where it stands and which folder it is, so that
// its place can be checked again before anything is linked in it.
struct HeldFolder {
  platform::File dir;
  std::string path;  // below the output folder; empty for the output folder itself
  platform::FileId id;
  platform::FlushWay flush = platform::FlushWay::Each;  // of its file system
  mutable uint64_t checked_in = 0;                      // the last batch of links that found it in place
};

// Where an entry goes: its parent folder, held, and its own name there.
struct Place {
  std::shared_ptr<const HeldFolder> parent{};
  std::string name{};
  std::vector<std::string> made{};  // the folders made for this entry, outermost first, below the output folder
};

class OutputTree {
 public:
  // walk_only: reach entries one piece at a time, as where the system refuses openat2.
  explicit OutputTree(std::filesystem::path root, bool walk_only = false);

  // The place of the regular file at the archive path path, with the errors of output_path (the folders between
  // the output folder and the file are made one level at a time and never through a link; something other than
  // a real folder on the way is "output parent is not a real directory"), then AlreadyExists "output already
  // exists" when anything stands at its name. The output folder is made, tested and opened by the first call.
  // In a folder that this run made, a name the run has not given there yet needs no look-up: it was empty.
  Result<Place> place_file(std::string_view path);
  // The same for a directory or link entry, without looking at its name.
  Result<Place> place_entry(std::string_view path);

  // The folder at relative (below the output folder; empty for itself), reached without following any link
  // and without making anything; the system's error (ELOOP, ENOTDIR, ENOENT, ...) when it cannot be.
  Result<platform::File> open_folder(std::string_view relative);
  // Fails with InvalidData "output parent is not a real directory" unless folder still stands at its place.
  Status check_in_place(const HeldFolder& folder);
  // The same for the output folder ("output root is not a real directory") and every folder the run used.
  Status check_all();
  // Removes the folders made for entries that were never finished, deepest first, where they are empty.
  void remove_if_empty(std::span<const std::string> made);

  bool opened() const { return root_folder_ != nullptr; }
  // path under the canonical output folder, once opened.
  std::filesystem::path final_path(std::string_view path) const;

 private:
  struct Level {
    std::string name;
    platform::FileId id;
    platform::FlushWay flush = platform::FlushWay::Each;
    bool made = false;                        // by this run, and every name given in it is in given
    std::unordered_set<std::string> given{};  // the names the run gave there: its folders and files
  };

  Status open_root();
  Result<Place> place(std::string_view path, bool look_at_name);
  // Holds the folders of an entry, the first kept of them shared with the last entry's; made gets those made.
  Status enter(std::span<const std::string_view> folders, size_t kept, std::vector<std::string>& made);
  // The folder at path again, checked to be the folder id: "output parent is not a real directory" when not.
  Result<platform::File> open_held(std::string_view path, platform::FileId id);
  // Enters a folder the run uses: one that stood elsewhere at an earlier visit is not the run's any more.
  Status record_use(const std::string& path, platform::FileId id);

  std::filesystem::path root_;
  std::string canonical_;  // the canonical output folder, once opened
  platform::Beneath beneath_;
  std::shared_ptr<const HeldFolder> root_folder_;
  std::vector<Level> chain_;                  // the folders below the output folder down to the last parent
  std::shared_ptr<const HeldFolder> parent_;  // the deepest of them, or the output folder
  std::unordered_map<std::string, platform::FileId> used_;  // every folder the run entered, by path
};

}  // namespace ixo::pack
