// Rebuilding one chunk from the block feed: byte-plane layout, XOR with its delta base, digest check.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "error.h"
#include "format/records.h"
#include "format/versions.h"
#include "archive/archive.h"
#include "pipeline/block_feed.h"

namespace ixo::pack {

// The rebuilt bytes of a chunk: a view into the feed's held data (recipe 0 only), valid until the next
// request to the feed, or an owned buffer.
class ChunkBytes {
 public:
  static ChunkBytes borrowed(std::span<const uint8_t> view) { return ChunkBytes(view); }
  static ChunkBytes owned(std::vector<uint8_t> data) { return ChunkBytes(std::move(data)); }

  std::span<const uint8_t> bytes() const {
    if (const auto* v = std::get_if<std::span<const uint8_t>>(&bytes_)) return *v;
    return std::get<std::vector<uint8_t>>(bytes_);
  }
  size_t size() const { return bytes().size(); }
  bool is_borrowed() const { return std::holds_alternative<std::span<const uint8_t>>(bytes_); }
  // An owned buffer, copying a view.
  std::vector<uint8_t> into_owned() &&;

 private:
  explicit ChunkBytes(std::span<const uint8_t> view) : bytes_(view) {}
  explicit ChunkBytes(std::vector<uint8_t> data) : bytes_(std::move(data)) {}
  std::variant<std::span<const uint8_t>, std::vector<uint8_t>> bytes_;
};

// The rebuilt bytes of chunk index (below archive.chunks.size()). Requests the feed's next planned reads:
// the base chunk's first for a delta chunk, then the chunk's own. Errors: the feed's, "misaligned weight
// chunk", "chunk checksum mismatch"; each is fatal to the run.
Result<ChunkBytes> chunk(const Archive& archive, BlockFeed& feed, uint32_t index);

// Versions with format::full_chunk_digests compare all 32 digest bytes; older ones the first 16, and an all-zero
// digest is none.
// A difference fails with "chunk checksum mismatch".
Status verify_chunk_digest(uint16_t version, const format::ChunkRef& chunk, std::span<const uint8_t> data);
// The comparison of verify_chunk_digest, without an error value.
bool chunk_digest_matches(uint16_t version, const format::ChunkRef& chunk, std::span<const uint8_t> data);

}  // namespace ixo::pack
