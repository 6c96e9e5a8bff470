// The opened archive: the index tables of the state in use, the file behind its lock, its length and version.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "format/records.h"
#include "platform/file.h"

namespace ixo::pack {

class Archive {
 public:
  // Opens path, reads its newest state or, when that fails, the last complete one (and says why in warning).
  static Result<Archive> open(const std::filesystem::path& path);

  Archive(format::Index index, platform::File file, uint64_t len, uint16_t version)
      : blocks(std::move(index.blocks)),
        chunks(std::move(index.chunks)),
        snapshots(std::move(index.snapshots)),
        len(len),
        version(version),
        file_(std::move(file)),
        file_lock_(std::make_unique<std::mutex>()) {}

  // One seek and one exact read of stored bytes, under the file's lock.
  Status read_at(uint64_t position, std::span<uint8_t> out) const {
    std::lock_guard lock(*file_lock_);
    return file_.read_exact_at(position, out);
  }

  std::vector<format::BlockInfo> blocks;
  std::vector<format::ChunkRef> chunks;
  std::vector<format::Snapshot> snapshots;
  uint64_t len;      // the file's size when opened
  uint16_t version;  // the header's version: decides 16- or 32-byte chunk digest checks
  // Empty when the state in use is the newest; else the line (newline included) for the front end to print as
  // soon as the archive is open: why an earlier state is used.
  std::string warning;

 private:
  platform::File file_;
  std::unique_ptr<std::mutex> file_lock_;
};

}  // namespace ixo::pack
