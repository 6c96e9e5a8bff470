// Reading one stored file entry and checking the metadata it carries.
#pragma once

#include <cstdint>
#include <span>

#include "error.h"
#include "format/reader.h"
#include "format/records.h"

namespace ixo::format {

// Reads the entry at the reader's position; chunks is the chunk table read so far (this segment's and those below).
Result<FileEntry> read_file_entry(Reader& reader, uint16_t version, bool has_metadata,
                                  std::span<const ChunkRef> chunks);

// Kind, permission bits, sub-second time and link target of an entry that carries metadata.
Status check_metadata(const FileEntry& entry);

// At most this many items are reserved ahead of reading them, whatever a stored count says.
inline constexpr uint64_t MAX_ENTRY_RESERVE = 1 << 20;
inline constexpr uint64_t MAX_CHUNK_INDEX_RESERVE = 1 << 20;

// A stored count only hints at a table's size: reserve no more than the cap, nor more records than the bytes left
// could hold.
inline size_t reserve_hint(uint64_t count, uint64_t cap, uint64_t bytes_left, uint64_t min_record_bytes) {
  uint64_t n = count < cap ? count : cap;
  if (min_record_bytes > 0 && n > bytes_left / min_record_bytes) n = bytes_left / min_record_bytes;
  return static_cast<size_t>(n);
}

}  // namespace ixo::format
