// The path operations of the output tree and the pre-flight checks. Every path that holds a NUL byte is
// refused with InvalidInput before it reaches the system.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "error.h"
#include "platform/file_time.h"

namespace ixo::platform {

class File;

enum class FileType : uint8_t { Regular, Directory, Symlink, Other };

struct Metadata {
  FileType type = FileType::Other;
  uint32_t mode = 0;  // permission bits with set-id and sticky bits (07777)
  uint64_t size = 0;
  uint64_t links = 0;
  FileTime modified;
  uint64_t device = 0;  // with inode, which file it is
  uint64_t inode = 0;
};

// Which file an entry is: the same device and inode.
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;

  friend bool operator==(const FileId&, const FileId&) = default;
};

inline FileId id_of(const Metadata& m) { return {m.device, m.inode}; }

// Follows a final symbolic link.
Result<Metadata> metadata(const std::filesystem::path& path);
// Describes a final symbolic link itself.
Result<Metadata> symlink_metadata(const std::filesystem::path& path);
// Of an open file or handle (fstat).
Result<Metadata> metadata_of(const File& file);

// One directory, not its parents, with mode 0o777 less the file-creation mask.
Status create_dir(const std::filesystem::path& path);
Status remove_file(const std::filesystem::path& path);
// A new name for existing; never replaces a name that exists, and never follows a symbolic link at existing.
Status hard_link(const std::filesystem::path& existing, const std::filesystem::path& link);
// A symbolic link holding target exactly.
Status symlink(std::string_view target, const std::filesystem::path& link);
// chmod with mode & 0o777, following symbolic links.
Status set_permissions(const std::filesystem::path& path, uint32_t mode);

// Bytes available to unprivileged users on the file system of path: f_bavail * f_frsize, saturating.
Result<uint64_t> free_space(const std::filesystem::path& path);
uint32_t process_id();
Result<std::filesystem::path> current_dir();

}  // namespace ixo::platform
