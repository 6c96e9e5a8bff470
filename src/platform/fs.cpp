#include "platform/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "platform/file.h"

namespace ixo::platform {

// Also used for the entries of held directories.
Metadata from_stat(const struct stat& st) {
  Metadata m;
  if (S_ISREG(st.st_mode)) {
    m.type = FileType::Regular;
  } else if (S_ISDIR(st.st_mode)) {
    m.type = FileType::Directory;
  } else if (S_ISLNK(st.st_mode)) {
    m.type = FileType::Symlink;
  }
  m.mode = static_cast<uint32_t>(st.st_mode & 07777);
  m.size = static_cast<uint64_t>(st.st_size);
  m.links = static_cast<uint64_t>(st.st_nlink);
  m.modified = FileTime{static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<uint32_t>(st.st_mtim.tv_nsec)};
  m.device = static_cast<uint64_t>(st.st_dev);
  m.inode = static_cast<uint64_t>(st.st_ino);
  return m;
}

namespace {

Status checked(const std::filesystem::path& path) { return check_no_nul(path.native()); }

Status retry(auto call) {
  while (call() != 0) {
    if (errno != EINTR) return fail(Error::last_os());
  }
  return {};
}

}  // namespace

Result<Metadata> metadata(const std::filesystem::path& path) {
  if (auto ok = checked(path); !ok) return fail(ok.error());
  struct stat st;
  if (auto ok = retry([&] { return ::stat(path.c_str(), &st); }); !ok) return fail(ok.error());
  return from_stat(st);
}

Result<Metadata> symlink_metadata(const std::filesystem::path& path) {
  if (auto ok = checked(path); !ok) return fail(ok.error());
  struct stat st;
  if (auto ok = retry([&] { return ::lstat(path.c_str(), &st); }); !ok) return fail(ok.error());
  return from_stat(st);
}

Result<Metadata> metadata_of(const File& file) {
  struct stat st;
  if (auto ok = retry([&] { return ::fstat(file.fd(), &st); }); !ok) return fail(ok.error());
  return from_stat(st);
}

Status create_dir(const std::filesystem::path& path) {
  if (auto ok = checked(path); !ok) return ok;
  return retry([&] { return ::mkdir(path.c_str(), 0777); });
}

Status remove_file(const std::filesystem::path& path) {
  if (auto ok = checked(path); !ok) return ok;
  return retry([&] { return ::unlink(path.c_str()); });
}

Status hard_link(const std::filesystem::path& existing, const std::filesystem::path& link) {
  if (auto ok = checked(existing); !ok) return ok;
  if (auto ok = checked(link); !ok) return ok;
  return retry([&] { return ::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, link.c_str(), 0); });
}

Status symlink(std::string_view target, const std::filesystem::path& link) {
  if (auto ok = check_no_nul(target); !ok) return ok;
  if (auto ok = checked(link); !ok) return ok;
  const std::string owned(target);
  return retry([&] { return ::symlink(owned.c_str(), link.c_str()); });
}

Status set_permissions(const std::filesystem::path& path, uint32_t mode) {
  if (auto ok = checked(path); !ok) return ok;
  return retry([&] { return ::chmod(path.c_str(), static_cast<mode_t>(mode & 0777)); });
}

Result<uint64_t> free_space(const std::filesystem::path& path) {
  if (auto ok = checked(path); !ok) return fail(ok.error());
  struct statvfs st;
  if (auto ok = retry([&] { return ::statvfs(path.c_str(), &st); }); !ok) return fail(ok.error());
  const uint64_t blocks = st.f_bavail;
  const uint64_t size = st.f_frsize;
  if (size != 0 && blocks > UINT64_MAX / size) return UINT64_MAX;
  return blocks * size;
}

uint32_t process_id() { return static_cast<uint32_t>(::getpid()); }

Result<std::filesystem::path> current_dir() {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) return std::filesystem::path(buf.data());
    if (errno != ERANGE) return fail(Error::last_os());
    buf.resize(buf.size() * 2);
  }
}

}  // namespace ixo::platform
