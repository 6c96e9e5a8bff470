// The operations of File that the output tree needs: exclusive creation, directories opened without
// following links, the modification time alone, permission bits and the flush to stable storage.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/file.h"
#include "platform/faults.h"

namespace ixo::platform {

namespace {

Result<File> open_retrying(int dirfd, const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(dirfd, path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(Error::last_os());
  return File(fd);
}

}  // namespace

Result<File> File::create_new(const std::filesystem::path& path) {
  if (auto ok = check_no_nul(path.native()); !ok) return fail(ok.error());
  // O_EXCL also refuses a symbolic link standing at path, dangling or not.
  return open_retrying(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
}

Result<File> File::open_dir(const std::filesystem::path& path) {
  if (auto ok = check_no_nul(path.native()); !ok) return fail(ok.error());
  return open_retrying(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY);
}

Result<File> File::pass_dir(const std::filesystem::path& path) {
  if (auto ok = check_no_nul(path.native()); !ok) return fail(ok.error());
  return open_retrying(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY);
}

namespace {

Result<File> dir_at(int dirfd, std::string_view name, int access) {
  if (auto ok = check_no_nul(name); !ok) return fail(ok.error());
  if (name.empty() || name.find('/') != std::string_view::npos)
    return fail(Error::message(ErrorKind::InvalidInput, "not a single path component"));
  const std::string owned(name);
  return open_retrying(dirfd, owned.c_str(), access | O_DIRECTORY | O_NOFOLLOW);
}

}  // namespace

Result<File> File::open_dir_at(std::string_view name) const { return dir_at(fd_, name, O_RDONLY); }

Result<File> File::pass_dir_at(std::string_view name) const { return dir_at(fd_, name, O_PATH); }

Status File::set_modified(FileTime time) const {
  const struct timespec times[2] = {
      {.tv_sec = 0, .tv_nsec = UTIME_OMIT},
      {.tv_sec = static_cast<time_t>(time.seconds), .tv_nsec = static_cast<long>(time.nanos)},
  };
  if (::futimens(fd_, times) != 0) return fail(Error::last_os());
  return {};
}

Status File::set_permissions(uint32_t mode) const {
  while (::fchmod(fd_, static_cast<mode_t>(mode & 0777)) != 0) {
    if (errno != EINTR) return fail(Error::last_os());
  }
  return {};
}

void File::start_writeback(uint64_t offset, uint64_t length) const {
  (void)::sync_file_range(fd_, static_cast<off64_t>(offset), static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
}

Status File::sync_all() const {
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return fail(Error::last_os());
  }
  return {};
}

FlushWay File::flush_way() const {
  struct statfs st;
  int rc;
  do {
    rc = ::fstatfs(fd_, &st);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return FlushWay::Each;
  switch (st.f_type) {
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
      return FlushWay::Free;
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3, which share it
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
      return faults::injected(faults::Call::Classify) == 0 ? FlushWay::Group : FlushWay::Each;
    default:
      return FlushWay::Each;
  }
}

Status File::sync_file_system() const {
  if (const int injected = faults::injected(faults::Call::SyncFs); injected != 0) return fail(Error::os(injected));
  while (::syncfs(fd_) != 0) {
    if (errno != EINTR) return fail(Error::last_os());
  }
  return {};
}

}  // namespace ixo::platform
