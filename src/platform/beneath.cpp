#include "platform/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace ixo::platform {

namespace {

int flags_of(Reach reach) { return reach == Reach::Pass ? O_PATH | O_DIRECTORY : O_PATH | O_NOFOLLOW; }

Result<File> open_one(int dirfd, const char* name, int flags) {
  int fd;
  do {
    fd = ::openat(dirfd, name, flags | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(Error::last_os());
  return File(fd);
}

// openat2's own answer: a descriptor, an errno, or -1 where the system does not offer it.
int open_how(int dirfd, const char* path, int flags) {
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0;; ++attempt) {
    const long fd = ::syscall(SYS_openat2, dirfd, path, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename raced with the lookup; a few tries, then the walk answers.
    if (errno == EINTR || (errno == EAGAIN && attempt < 8)) continue;
    return -errno;
  }
}

}  // namespace

bool not_a_real_directory(const Error& error) {
  const std::optional<int> os = error.os_error();
  return os == ELOOP || os == ENOTDIR || os == EXDEV;
}

Result<File> Beneath::open(const File& dir, std::string_view relative, Reach reach) {
  if (Status ok = check_no_nul(relative); !ok) return fail(ok.error());
  if (relative.empty()) {
    const int fd = ::fcntl(dir.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return fail(Error::last_os());
    return File(fd);
  }
  if (!walk_only_) {
    const std::string path(relative);
    const int fd = open_how(dir.fd(), path.c_str(), flags_of(reach));
    if (fd >= 0) return File(fd);
    // Refused outright (an older kernel, a filter that forbids the call): the walk from now on.
    if (fd != -ENOSYS && fd != -EPERM && fd != -E2BIG && fd != -EAGAIN) return fail(Error::os(-fd));
    walk_only_ = true;
  }
  return walk(dir, relative, reach);
}

Result<File> Beneath::walk(const File& dir, std::string_view relative, Reach reach) const {
  std::optional<File> held;  // the folder reached so far, when not dir itself
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    const bool last = slash == std::string_view::npos;
    const std::string piece(relative.substr(start, last ? std::string_view::npos : slash - start));
    if (piece.empty() || piece == "." || piece == "..") return fail(Error::os(EXDEV));
    const int at = held ? held->fd() : dir.fd();
    Result<File> next = open_one(at, piece.c_str(), last ? flags_of(reach) : O_PATH | O_DIRECTORY);
    if (!next) return next;
    if (last) return next;
    held = std::move(*next);
    start = slash + 1;
  }
}

}  // namespace ixo::platform
