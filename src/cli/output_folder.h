// The new folder an extraction without an output folder writes into, next to the archive.
#pragma once

#include <filesystem>

#include "error.h"
#include "platform/fs.h"

namespace ixo::cli {

// How a candidate folder is made; tests give one that fails in chosen ways.
using MakeDir = Status (*)(const std::filesystem::path& path);

// "{stem}", else "{stem} (2)" ... "{stem} (9999)" in the archive's folder ("." for a bare file name): the first
// that can be created without creating parents. The stem is "extracted" when it is missing, empty or not UTF-8.
// Only a name that exists sends the search on to the next; any other error of make ends it, unchanged.
Result<std::filesystem::path> choose_output_folder(const std::filesystem::path& archive_path,
                                                   MakeDir make = platform::create_dir);

}  // namespace ixo::cli
