#include "platform/directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/file.h"

namespace ixo::platform {

Result<EntryType> entry_type(const std::filesystem::path& path) {
  if (Status ok = check_no_nul(path.native()); !ok) return fail(ok.error());
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return fail(Error::last_os());
  if (S_ISDIR(st.st_mode)) return EntryType::Directory;
  if (S_ISLNK(st.st_mode)) return EntryType::Symlink;
  return EntryType::Other;
}

Status make_dir(const std::filesystem::path& path) {
  if (Status ok = check_no_nul(path.native()); !ok) return ok;
  if (::mkdir(path.c_str(), 0777) != 0) return fail(Error::last_os());
  return {};
}

Status make_dirs(const std::filesystem::path& path) {
  if (Status ok = check_no_nul(path.native()); !ok) return ok;
  if (path.empty()) return {};
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  const int err = errno;
  if (err == EEXIST) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
    return fail(Error::os(EEXIST));
  }
  if (err != ENOENT) return fail(Error::os(err));
  const std::filesystem::path parent = path.parent_path();
  if (parent.empty() || parent == path) return fail(Error::os(err));
  if (Status ok = make_dirs(parent); !ok) return ok;
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  const int again = errno;
  if (again == EEXIST) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  }
  return fail(Error::os(again));
}

Result<std::filesystem::path> canonical(const std::filesystem::path& path) {
  if (Status ok = check_no_nul(path.native()); !ok) return fail(ok.error());
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return fail(Error::last_os());
  return std::filesystem::path(resolved.get());
}

}  // namespace ixo::platform
