// An open file descriptor, closed when its owner goes away, with the exact reads the archive needs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "error.h"
#include "platform/file_time.h"

namespace ixo::platform {

enum class FlushWay : uint8_t {
  Free,   // held in memory (tmpfs, ramfs): a flush does nothing and always succeeds
  Group,  // a local block file system whose syncfs flushes everything and reports errors (ext4, xfs, btrfs, f2fs)
  Each,   // anything else: each file is flushed by itself
};

class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  ~File();
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  static Result<File> open_read(const std::filesystem::path& path);
  // A file that must not exist yet (a symbolic link at path counts as existing), opened for writing, with
  // mode 0o666 less the file-creation mask.
  static Result<File> create_new(const std::filesystem::path& path);
  // A directory opened for reading; path's own symbolic links are followed.
  static Result<File> open_dir(const std::filesystem::path& path);
  // A directory to pass through (search permission suffices); path's own symbolic links are followed.
  static Result<File> pass_dir(const std::filesystem::path& path);
  // The entry name inside this open directory, which must be a real directory: a symbolic link is never
  // followed (ELOOP or ENOTDIR).
  Result<File> open_dir_at(std::string_view name) const;
  // The same for passing through only (search permission suffices); the result cannot be read or changed.
  Result<File> pass_dir_at(std::string_view name) const;
  // The entry name inside this open directory as a handle, whatever stands there: a symbolic link there is the
  // link itself. A handle is only looked at (metadata_of) and given permission bits (set_handle_permissions).
  Result<File> handle_at(std::string_view name) const;
  // The entry name inside this open directory opened for reading, whatever stands there, without following a
  // symbolic link there (ELOOP) and without waiting for a writer of a pipe.
  Result<File> open_read_at(std::string_view name) const;

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  Result<uint64_t> size() const;
  // Reads exactly out.size() bytes at pos, in calls of at most 2^31 - 1 bytes, repeating interrupted calls.
  Status read_exact_at(uint64_t pos, std::span<uint8_t> out) const;
  // Writes all of data at the current position, repeating interrupted and short writes.
  Status write_all(std::span<const uint8_t> data) const;
  // first, then second, in one call where the system takes both at once (writev).
  Status write_all(std::span<const uint8_t> first, std::span<const uint8_t> second) const;
  Status close();

  // Sets only the modification time; the access time stays as it is.
  Status set_modified(FileTime time) const;
  // Permission bits mode & 0o777: set-user-id, set-group-id and sticky bits are never applied.
  Status set_permissions(uint32_t mode) const;
  // The same through a handle, which fchmod refuses: the file the handle stands for gets them, never what a
  // symbolic link there points to.
  Status set_handle_permissions(uint32_t mode) const;
  // Data and metadata reach stable storage before this returns.
  Status sync_all() const;
  // Whether the file system of this file or folder keeps everything in memory (tmpfs, ramfs): a flush to
  // stable storage has nothing to wait for there. False when it cannot be told.
  bool flush_is_free() const { return flush_way() == FlushWay::Free; }
  // How files of this file system reach stable storage at the least cost (Each when it cannot be told).
  FlushWay flush_way() const;
  // Flushes the whole file system of this file to stable storage (syncfs): its error is a write-back error of
  // that file system since this file was opened, without telling which file had it.
  Status sync_file_system() const;
  // Starts writing the given range to storage without waiting for it; only a hint, so that a later flush finds
  // less to do: a failure shows in that flush.
  void start_writeback(uint64_t offset, uint64_t length) const;

 private:
  int fd_ = -1;
};

// A path handed to the system must not hold a NUL byte: a C string would silently cut it short.
Status check_no_nul(std::string_view path);

}  // namespace ixo::platform
