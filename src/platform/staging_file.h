// A file written under a temporary name and published by a hard link under its final one. Whatever happens,
// the temporary name is removed when its owner goes away; published data stays reachable under the final name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error.h"
#include "platform/file.h"
#include "platform/file_time.h"

namespace ixo::platform {

class StagingFile {
 public:
  static constexpr size_t BUFFER = 8192;

  // Creates path exclusively (AlreadyExists when anything stands there).
  static Result<StagingFile> create(std::filesystem::path path);

  StagingFile(StagingFile&& other) noexcept
      : path_(std::move(other.path_)),
        file_(std::move(other.file_)),
        buffer_(std::move(other.buffer_)),
        owns_name_(std::exchange(other.owns_name_, false)) {}
  StagingFile& operator=(StagingFile&&) = delete;
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;
  // Closes the file (writing out the buffer, ignoring errors) and removes the name, ignoring errors.
  ~StagingFile();

  const std::filesystem::path& path() const { return path_; }

  // Appends through the buffer; large pieces go straight to the file.
  Status write(std::span<const uint8_t> data);
  // Writes out the buffer, sets the time and the permission bits when given, flushes to stable storage and
  // closes. Nothing more can be written.
  Status finish(std::optional<FileTime> modified, std::optional<uint32_t> mode);
  // Makes final a second name of the finished file; never replaces anything standing at final.
  Status link_as(const std::filesystem::path& final_path) const;

 private:
  StagingFile(std::filesystem::path path, File file) : path_(std::move(path)), file_(std::move(file)) {
    buffer_.reserve(BUFFER);
  }
  Status flush_buffer();

  std::filesystem::path path_;
  File file_;
  std::vector<uint8_t> buffer_;
  bool owns_name_ = true;
};

}  // namespace ixo::platform
