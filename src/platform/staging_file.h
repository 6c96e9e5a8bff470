// A file written under a temporary name, or under none at all, and published by a hard link under its final
// one. Whatever happens, the temporary name is removed when its owner goes away; published data stays
// reachable under the final name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "platform/file.h"
#include "platform/file_time.h"

namespace ixo::platform {

// How this system gives an unnamed file its name, learnt by the first files of a run.
struct UnnamedLinks {
  bool checked_proc = false;           // whether /proc/self/fd can name an open file was looked at
  bool proc_usable = false;            // it can: the way that needs no privilege
  bool by_descriptor_refused = false;  // linkat of the descriptor itself needs a privilege this process lacks
  bool refused = false;                // the file system of the output refuses unnamed files
};

class StagingFile {
 public:
  static constexpr size_t BUFFER = 8192;

  // Creates path exclusively (AlreadyExists when anything stands there).
  static Result<StagingFile> create(std::filesystem::path path);
  // Creates name in dir exclusively (AlreadyExists when anything stands there).
  static Result<StagingFile> create_at(std::shared_ptr<const File> dir, std::string name);
  // A file without any name in dir (O_TMPFILE): until it is linked nothing of it is visible, and nothing is left
  // behind when its owner goes away or the process dies. Fails when the file system or the system refuses such
  // files, or when they could not be linked later; the caller then makes a named one.
  static Result<StagingFile> create_unnamed(std::shared_ptr<const File> dir, UnnamedLinks& links);

  StagingFile(StagingFile&& other) noexcept
      : path_(std::move(other.path_)),
        dir_(std::move(other.dir_)),
        name_(std::move(other.name_)),
        file_(std::move(other.file_)),
        buffer_(std::move(other.buffer_)),
        size_(other.size_),
        writeback_from_(other.writeback_from_),
        owned_(std::exchange(other.owned_, false)) {}
  StagingFile& operator=(StagingFile&&) = delete;
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;
  // Closes the file (writing out the buffer of a named one, ignoring errors) and removes the temporary name,
  // ignoring errors.
  ~StagingFile();

  const std::filesystem::path& path() const { return path_; }
  bool unnamed() const { return dir_ && name_.empty(); }
  const File& file() const { return file_; }
  // Bytes written so far, the buffer's included.
  uint64_t size() const { return size_ + buffer_.size(); }

  // Appends through the buffer; a piece that does not fit goes out with what the buffer holds, in one call.
  Status write(std::span<const uint8_t> data);
  // Appends what the buffer holds and data at once, data without a copy.
  Status write_through(std::span<const uint8_t> data);
  // Writes out the buffer and sets the time and the permission bits when given. The flush to stable storage
  // is the caller's, on file().
  Status prepare(std::optional<FileTime> modified, std::optional<uint32_t> mode);
  // prepare, the flush to stable storage and the close. Nothing more can be written.
  Status finish(std::optional<FileTime> modified, std::optional<uint32_t> mode);
  // Makes final a second name of the finished file; never replaces anything standing at final.
  Status link_as(const std::filesystem::path& final_path) const;
  // After prepare and the flush, for a file of create_at or create_unnamed: name in the same directory becomes
  // the file's name; never replaces anything standing there. The file is closed on the way.
  Status link_at(std::string_view name, UnnamedLinks& links);

 private:
  StagingFile(std::filesystem::path path, std::shared_ptr<const File> dir, std::string name, File file)
      : path_(std::move(path)), dir_(std::move(dir)), name_(std::move(name)), file_(std::move(file)) {}
  Status flush_buffer();
  // After written more bytes have gone to the file: starts their way to storage a few MiB at a time, so that a
  // large file's flush overlaps with the writing of what follows.
  void written(size_t count);

  std::filesystem::path path_;       // the path form
  std::shared_ptr<const File> dir_;  // the held-directory forms
  std::string name_;                 // empty for an unnamed file
  File file_;
  std::vector<uint8_t> buffer_;
  uint64_t size_ = 0;           // bytes written to the file so far
  uint64_t writeback_from_ = 0;  // where the next range to start on its way begins
  bool owned_ = true;            // false once moved from
};

}  // namespace ixo::platform
