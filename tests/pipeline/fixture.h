// Small archives built in memory for the pipeline tests: blocks encoded with a codec and written to a
// temporary file, chunks with their digests, and an Archive over them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "format/records.h"
#include "archive/archive.h"

namespace ixo::fixture {

std::vector<uint8_t> bytes(std::initializer_list<int> values);
std::vector<uint8_t> pattern(size_t n, uint32_t seed);  // varied, poorly compressible bytes
std::vector<uint8_t> text_like(size_t n, uint32_t seed);  // compressible bytes

std::vector<uint8_t> zstd_encode(std::span<const uint8_t> raw);
std::vector<uint8_t> xz_encode(std::span<const uint8_t> raw);
// A stored-mode IXCM stream of raw.
std::vector<uint8_t> cm_stored(std::span<const uint8_t> raw);

// A temporary folder, removed with everything in it when its owner goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class ArchiveBuilder {
 public:
  // A block decoding to raw, stored with codec; returns its index.
  uint32_t block(std::vector<uint8_t> raw, uint8_t codec = 0);
  // A block with stored bytes of the test's own (damaged ones, say) and the decoded length it claims.
  uint32_t stored_block(std::vector<uint8_t> stored, uint64_t raw_len, uint8_t codec);
  // A recipe-0 chunk of a block's bytes, digest over them.
  uint32_t chunk(uint32_t block, uint32_t offset, uint32_t length);
  // A chunk with a recipe; its digest is taken over rebuilt (the bytes it must rebuild to).
  uint32_t chunk(uint32_t block, uint32_t offset, uint32_t length, uint8_t recipe, uint32_t base,
                 std::span<const uint8_t> rebuilt);
  // A chunk with the digest given as is.
  uint32_t chunk_with_digest(uint32_t block, uint32_t offset, uint32_t length, const format::Digest& digest);

  const std::vector<uint8_t>& raw(uint32_t block) const { return raw_[block]; }
  // The rebuilt bytes of a recipe-0 chunk.
  std::vector<uint8_t> chunk_bytes(uint32_t chunk) const;

  // Writes the stored blocks into dir and opens the Archive over them; the file may be cut short by cut bytes.
  pack::Archive build(const std::filesystem::path& dir, uint16_t version = 7, uint64_t cut = 0) const;

 private:
  std::vector<format::BlockInfo> blocks_;
  std::vector<std::vector<uint8_t>> stored_;
  std::vector<std::vector<uint8_t>> raw_;
  std::vector<format::ChunkRef> chunks_;
};

// Regular file entries over chunk lists, and the selection pointing at them.
struct Files {
  std::vector<std::unique_ptr<format::FileEntry>> entries;
  format::EntryList list;

  Files& regular(std::vector<uint32_t> chunks, std::string path = {});
  Files& other(uint8_t kind, std::string path = {});
};

}  // namespace ixo::fixture
