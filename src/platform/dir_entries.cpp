#include "platform/dir_entries.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

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

Status remove_dir_at(const File& dir, std::string_view name) {
  Result<std::string> c = c_name(name);
  if (!c) return fail(c.error());
  return retry([&] { return ::unlinkat(dir.fd(), c->c_str(), AT_REMOVEDIR); });
}

Status symlink_at(std::string_view target, const File& dir, std::string_view name) {
  Result<std::string> c = c_name(name);
  if (!c) return fail(c.error());
  Result<std::string> text = c_name(target);
  if (!text) return fail(text.error());
  return retry([&] { return ::symlinkat(text->c_str(), dir.fd(), c->c_str()); });
}

Status hard_link_at(const File& from_dir, std::string_view from, const File& dir, std::string_view name) {
  Result<std::string> old_name = c_name(from);
  if (!old_name) return fail(old_name.error());
  Result<std::string> c = c_name(name);
  if (!c) return fail(c.error());
  return retry([&] { return ::linkat(from_dir.fd(), old_name->c_str(), dir.fd(), c->c_str(), 0); });
}

Result<std::string> read_link_at(const File& dir, std::string_view name) {
  Result<std::string> c = c_name(name);
  if (!c) return fail(c.error());
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlinkat(dir.fd(), c->c_str(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os());
    }
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

Status set_permissions_at(const File& dir, std::string_view name, uint32_t mode) {
  Result<std::string> c = c_name(name);
  if (!c) return fail(c.error());
#ifndef SYS_fchmodat2
  constexpr long SYS_fchmodat2 = 452;  // Linux 6.6
#endif
  const mode_t bits = static_cast<mode_t>(mode & 0777);
  Status set = retry([&] { return static_cast<int>(::syscall(SYS_fchmodat2, dir.fd(), c->c_str(), bits, AT_SYMLINK_NOFOLLOW)); });
  const std::optional<int> os = set ? std::nullopt : set.error().os_error();
  if (os != ENOSYS && os != EPERM) return set;
  // An older kernel, or a filter that forbids the call.
  Result<File> handle = dir.handle_at(name);
  if (!handle) return fail(handle.error());
  return handle->set_handle_permissions(mode);
}

}  // namespace ixo::platform
