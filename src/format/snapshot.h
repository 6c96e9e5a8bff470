// Snapshots stored as edit lists, and the entry lists that snapshots give.
#pragma once

#include <cstdint>
#include <span>

#include "error.h"
#include "format/reader.h"
#include "format/records.h"

namespace ixo::format {

inline constexpr uint64_t MAX_EDIT_RESERVE = 65536;

// Reads an edit list at the reader's position. prev_len is the length of the previous snapshot's entry list
// (the base's last one for the first snapshot of a chained index, 0 for the first of a full index).
Result<Snapshot> read_edits(Reader& reader, uint16_t version, bool has_metadata, std::span<const ChunkRef> chunks,
                            int64_t time, uint64_t prev_len);

// Length of the entry list a snapshot gives: the sum of its edits' counts.
uint64_t list_length(const Snapshot& snapshot);

// Every hard link of the list must name a regular file earlier in the same list.
Status check_hard_links(const EntryList& list);

}  // namespace ixo::format
