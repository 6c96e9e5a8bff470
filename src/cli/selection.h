// The entries of a snapshot that a run restores: all of them, or those that --file names.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "error.h"
#include "format/records.h"

namespace ixo::cli {

struct FileSelection {
  std::vector<const format::FileEntry*> entries;  // in the order of the snapshot's list
  // Copies that stand for hard links whose target was not selected: regular files under the link's path.
  std::vector<std::unique_ptr<format::FileEntry>> owned;
};

// files empty: the whole list. Otherwise each value must be a safe archive path and name an entry (the first
// that names none, in byte order, is an error); a directory's path selects that entry alone.
Result<FileSelection> select_files(const format::EntryList& list, const std::vector<std::string>& files);

}  // namespace ixo::cli
