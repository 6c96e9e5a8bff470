// The output folder of an extraction and the folders of the regular file in hand, opened once and held: each
// file is tested, created and linked relative to its parent folder's descriptor, so that no path is resolved
// again for each call, no folder is made twice, and nothing is ever reached through a symbolic link that
// appears inside the tree later.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "error.h"
#include "platform/file.h"

namespace ixo::pack {

// Where a regular file goes: its parent folder, held, and its own name there.
struct Place {
  std::shared_ptr<const platform::File> parent;
  std::string name;
  std::filesystem::path final_path;  // under the canonical output folder; empty unless asked for
  bool flush_is_free = false;        // the folder lies on a file system held in memory
};

class OutputTree {
 public:
  explicit OutputTree(std::filesystem::path root) : root_(std::move(root)) {}

  // The place of the regular file at the archive path path, with the errors of output_path (the folders
  // between the output folder and the file are made as there, each one level at a time and never through a
  // link), then AlreadyExists "output already exists" when anything stands at the final name. The output
  // folder is made, tested and opened by the first call that succeeds in it; the folders of the previous
  // file are kept for the next one. The final path is given only with_final_path. In a folder that this run
  // made, a name the run has not given there yet needs no look-up: the folder was empty when made.
  Result<Place> place(std::string_view path, bool with_final_path = true);

 private:
  Status open_root();

  struct Folder {
    std::string name;
    std::shared_ptr<const platform::File> dir;
    size_t length = 0;           // of its path
    bool flush_is_free = false;  // of its file system
    bool made = false;           // by this run, and every name in it is in given
    std::unordered_set<std::string> given{};  // the names the run gave there: its folders and files
  };

  std::filesystem::path root_;
  std::string canonical_;  // the canonical output folder, once opened
  // The output folder (an empty name) and the folders below it down to the last file's parent.
  std::vector<Folder> chain_;
};

}  // namespace ixo::pack
