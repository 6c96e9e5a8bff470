// Entries of a held directory, reached by name relative to its descriptor: no path is resolved again and a
// final symbolic link is never followed. Names are single components; a NUL byte is refused.
#pragma once

#include <string_view>

#include "error.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace ixo::platform {

// fstatat without following a final link.
Result<Metadata> symlink_metadata_at(const File& dir, std::string_view name);
// mkdirat of this one level, mode 0o777 less the file-creation mask.
Status make_dir_at(const File& dir, std::string_view name);
// unlinkat of a name that is not a directory.
Status remove_at(const File& dir, std::string_view name);

}  // namespace ixo::platform
