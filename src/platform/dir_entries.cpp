#include "platform/dir_entries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace ixo::platform {

Metadata from_stat(const struct stat& st);  // fs.cpp

namespace {

// The name as a C string, refused when a NUL byte would cut it short.
Result<std::string> c_name(std::string_view name) {
  if (Status ok = check_no_nul(name); !ok) return fail(ok.error());
  return std::string(name);
}

Status retry(auto call) {
  while (call() != 0) {
    if (errno != EINTR) return fail(Error::last_os());
  }
  return {};
}

}  // namespace

Result<Metadata> symlink_metadata_at(const File& dir, std::string_view name) {
  Result<std::string> c = c_name(name);
  if (!c) return fail(c.error());
  struct stat st;
  if (Status ok = retry([&] { return ::fstatat(dir.fd(), c->c_str(), &st, AT_SYMLINK_NOFOLLOW); }); !ok)
    return fail(ok.error());
  return from_stat(st);
}

Status make_dir_at(const File& dir, std::string_view name) {
  Result<std::string> c = c_name(name);
  if (!c) return fail(c.error());
  return retry([&] { return ::mkdirat(dir.fd(), c->c_str(), 0777); });
}

Status remove_at(const File& dir, std::string_view name) {
  Result<std::string> c = c_name(name);
  if (!c) return fail(c.error());
  return retry([&] { return ::unlinkat(dir.fd(), c->c_str(), 0); });
}

}  // namespace ixo::platform
