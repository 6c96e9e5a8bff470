// Entries below a held folder, reached by a relative path without ever following a symbolic link or leaving the
// folder: whatever another process puts on the way, the answer is an entry below the folder or an error.
#pragma once

#include <string_view>

#include "error.h"
#include "platform/file.h"

namespace ixo::platform {

// What the entry is opened for.
enum class Reach : uint8_t {
  Pass,    // a folder to pass through and create in (search permission suffices)
  Handle,  // whatever stands there, a final symbolic link as itself; only looked at
};

class Beneath {
 public:
  // walk_only: the piece-by-piece way alone, as where the system refuses openat2.
  explicit Beneath(bool walk_only = false) : walk_only_(walk_only) {}

  // relative ('/'-separated plain names; empty for dir itself) opened below dir. A symbolic link or anything
  // other than a folder on the way fails with ELOOP or ENOTDIR, and so does a final link for Pass. The kernel
  // resolves the whole path at once (openat2, RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS); where it refuses that,
  // each piece is opened in turn with O_NOFOLLOW, which gives the same answers.
  Result<File> open(const File& dir, std::string_view relative, Reach reach);

 private:
  Result<File> walk(const File& dir, std::string_view relative, Reach reach) const;

  bool walk_only_;  // once openat2 was refused, it is not asked again
};

// The error a path below the output folder gives when something other than a real folder stands on its way.
bool not_a_real_directory(const Error& error);

}  // namespace ixo::platform
