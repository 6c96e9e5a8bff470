// Handles of whatever stands at a name, and what can be done through them without following a link there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/file.h"

namespace ixo::platform {

namespace {

Result<File> open_at(int dirfd, std::string_view name, int flags) {
  if (auto ok = check_no_nul(name); !ok) return fail(ok.error());
  if (name.empty() || name.find('/') != std::string_view::npos)
    return fail(Error::message(ErrorKind::InvalidInput, "not a single path component"));
  const std::string owned(name);
  int fd;
  do {
    fd = ::openat(dirfd, owned.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(Error::last_os());
  return File(fd);
}

}  // namespace

Result<File> File::handle_at(std::string_view name) const { return open_at(fd_, name, O_PATH); }

Result<File> File::open_read_at(std::string_view name) const {
  return open_at(fd_, name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
}

Status File::set_handle_permissions(uint32_t mode) const {
  // A link has no permission bits of its own, and a change through its name would reach its target.
  struct stat st;
  if (::fstat(fd_, &st) != 0) return fail(Error::last_os());
  if (S_ISLNK(st.st_mode)) return fail(Error::os(EOPNOTSUPP));
  // fchmod refuses a handle; its name under /proc leads to the very file it was opened on.
  const std::string path = "/proc/self/fd/" + std::to_string(fd_);
  while (::chmod(path.c_str(), static_cast<mode_t>(mode & 0777)) != 0) {
    if (errno != EINTR) return fail(Error::last_os());
  }
  return {};
}

}  // namespace ixo::platform
