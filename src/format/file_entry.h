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

}  // namespace ixo::format
