// The new folder an extraction without an output folder writes into, next to the archive.
#pragma once

#include <filesystem>

#include "error.h"

namespace ixo::cli {

// "{stem}", else "{stem} (2)" ... "{stem} (9999)" in the archive's folder ("." for a bare file name): the first
// that can be created without creating parents. The stem is "extracted" when it is missing, empty or not UTF-8.
Result<std::filesystem::path> choose_output_folder(const std::filesystem::path& archive_path);

}  // namespace ixo::cli
