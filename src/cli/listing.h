// The two read-only views of an opened archive: the listing of -l and the summary of --info.
#pragma once

#include <cstdio>
#include <filesystem>

#include "format/records.h"
#include "archive/archive.h"

namespace ixo::cli {

// One line per entry of the chosen snapshot, its totals, the archive's size and unique data, then one line per
// snapshot of the archive with its date, whatever snapshot was chosen.
void list_archive(const pack::Archive& archive, const format::EntryList& files, std::FILE* out = stdout);

// The format version, the number of snapshots and the size of the chosen one, with the path as typed.
void print_info(const std::filesystem::path& archive_path, const pack::Archive& archive,
                const format::EntryList& files, std::FILE* out = stdout);

}  // namespace ixo::cli
