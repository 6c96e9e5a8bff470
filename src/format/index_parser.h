// The tables of one decoded index segment: its link to a base index, its blocks, chunks and snapshots.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "error.h"
#include "format/records.h"

namespace ixo::format {

// The decoded bytes of one index segment and the format version they are written in (1 to 7).
struct SegmentView {
  std::span<const uint8_t> data;
  uint16_t version = 0;
};

inline constexpr uint32_t MAX_CHAIN_DEPTH = 64;
inline constexpr uint64_t MAX_BLOCK_RAW_LEN = uint64_t{1} << 30;
inline constexpr uint64_t MAX_BLOCK_STORED_LEN = uint64_t{1} << 31;
inline constexpr uint32_t MAX_WEIGHT_CHUNK_LEN = 262144;
inline constexpr uint64_t MAX_TABLE_LEN = 0xFFFFFFFF;
inline constexpr uint64_t MAX_BLOCK_RESERVE = 65536;
inline constexpr uint64_t MAX_CHUNK_RESERVE = 1 << 20;
inline constexpr uint64_t MAX_SNAPSHOT_RESERVE = 65536;
// Where the blocks of a segment without stored positions begin: just after the archive header.
inline constexpr uint64_t FIRST_BLOCK_POSITION = 8;

// Nothing for a full index, the ChainLink of a chained one, or the error of its flags or link.
Result<std::optional<ChainLink>> chain_link(SegmentView segment);

// Parses the segment on top of base, the index of the segments below it (a full index ignores base and starts from
// empty tables). The result holds base's records followed by the segment's own.
Result<Index> parse_index(SegmentView segment, Index base);

}  // namespace ixo::format
