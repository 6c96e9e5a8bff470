// In-memory records of the index: blocks, chunks, chain links, file entries, snapshots and the merged index.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ixo::format {

using Digest = std::array<uint8_t, 32>;

struct BlockInfo {
  uint64_t raw_len = 0;     // decoded length, at most 2^30
  uint64_t stored_len = 0;  // at most 2^31
  uint64_t position = 0;    // file offset of the stored bytes
  uint8_t aux = 0;          // held as read; nothing uses it
  uint8_t codec = 0;        // id of the block's CODECS row
};

// Bits 0-1: byte-plane layout; bit 2: delta against the base chunk.
namespace Recipe {
inline constexpr uint8_t LAYOUT_MASK = 3;
inline constexpr uint8_t DELTA = 4;
inline constexpr uint8_t MAX = 7;
// Element width - 1 of each layout, for the length rule.
inline constexpr std::array<uint32_t, 4> WIDTH_MASK{0, 1, 1, 3};
}  // namespace Recipe

struct ChunkRef {
  Digest digest{};  // as far as the segment stores it, the rest zero
  uint32_t block = 0;
  uint32_t offset = 0;
  uint32_t length = 0;
  uint32_t base = 0;  // delta base chunk (0 without one)
  uint8_t recipe = 0;
};

struct ChainLink {
  uint64_t base_end = 0;
  uint32_t base_blocks = 0;
  uint32_t base_chunks = 0;
  uint32_t base_snapshots = 0;
  uint32_t depth = 0;
};

enum EntryKind : uint8_t { Regular = 0, Directory = 1, Symlink = 2, HardLink = 3 };

inline constexpr uint32_t NO_MODE = 0xFFFFFFFF;

struct FileEntry {
  std::string path;
  std::vector<uint32_t> chunks;
  std::string link_target;
  uint64_t size = 0;
  int64_t mtime = 0;
  Digest digest{};
  uint64_t stored_len = 0;
  uint32_t mode = NO_MODE;
  uint32_t mtime_nanos = 0;
  uint8_t transform = 0;
  uint8_t kind = Regular;
};

struct Edit {
  enum Tag : uint32_t { Copy = 0, Add = 1 };
  uint32_t tag = Add;
  uint32_t start = 0;  // copy only
  uint32_t count = 0;
};

// Entries are referenced by pointer from entry lists: a snapshot's entries never change once it is built.
using EntryList = std::vector<const FileEntry*>;

struct Snapshot {
  std::vector<FileEntry> entries;
  std::vector<Edit> edits;
  int64_t time = 0;

  // A snapshot stored in full: one add edit of all its entries (none when empty).
  static Snapshot full(int64_t time, std::vector<FileEntry> entries);
  // This snapshot's entry list, given the list of the snapshot before it.
  EntryList apply(const EntryList& previous) const;
};

// The entry list of snapshot n (0 the oldest); n must be below snapshots.size().
EntryList snapshot_files(const std::vector<Snapshot>& snapshots, size_t n);

struct Index {
  std::vector<BlockInfo> blocks;
  std::vector<ChunkRef> chunks;
  std::vector<Snapshot> snapshots;
};

}  // namespace ixo::format
