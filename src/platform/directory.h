// The directory operations of the output tree: metadata without following a final link, one-level and
// whole-path creation, canonical paths.
#pragma once

#include <filesystem>

#include "error.h"

namespace ixo::platform {

enum class EntryType { Directory, Symlink, Other };

// lstat: the type of what stands at path, a final symbolic link not followed.
Result<EntryType> entry_type(const std::filesystem::path& path);

// mkdir of this one level, mode 0o777 less the file-creation mask.
Status make_dir(const std::filesystem::path& path);

// path and every missing ancestor; a level that exists as a directory (also through a link) is accepted,
// anything else standing there fails with EEXIST.
Status make_dirs(const std::filesystem::path& path);

// realpath: absolute, every link resolved, no "." or "..".
Result<std::filesystem::path> canonical(const std::filesystem::path& path);

}  // namespace ixo::platform
