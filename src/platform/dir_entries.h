// Entries of a held directory, reached by name relative to its descriptor: no path is resolved again and a
// final symbolic link is never followed. Names are single components; a NUL byte is refused.
#pragma once

#include <cstdint>
#include <string>
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
// unlinkat of an empty directory.
Status remove_dir_at(const File& dir, std::string_view name);
// symlinkat: a symbolic link holding target exactly; never replaces a name.
Status symlink_at(std::string_view target, const File& dir, std::string_view name);
// linkat without following a link at the existing name; never replaces a name.
Status hard_link_at(const File& from_dir, std::string_view from, const File& dir, std::string_view name);
// readlinkat: the text a symbolic link holds.
Result<std::string> read_link_at(const File& dir, std::string_view name);
// Permission bits mode & 0o777 of what stands at name, never of what a symbolic link there points to
// (fchmodat2 with AT_SYMLINK_NOFOLLOW; where the system lacks it, through the entry's handle).
Status set_permissions_at(const File& dir, std::string_view name, uint32_t mode);

}  // namespace ixo::platform
