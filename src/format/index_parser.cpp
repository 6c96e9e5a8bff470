#include "format/index_parser.h"

#include <algorithm>
#include <type_traits>

#include "codec/codec.h"
#include "format/features.h"
#include "format/file_entry.h"
#include "format/reader.h"
#include "format/snapshot.h"
#include "format/reserve_hint.h"
#include "format/try.h"
#include "format/versions.h"

namespace ixo::format {

namespace {

constexpr uint64_t CHAIN_LINK_BYTES = 24;

Status read_blocks(Reader& r, uint16_t version, std::vector<BlockInfo>& blocks) {
  IXO_TRY(count, r.u32());
  const uint64_t record_bytes = version >= 3 ? 26 : 18;
  blocks.reserve(blocks.size() + reserve_hint(*count, MAX_BLOCK_RESERVE, r.remaining(), record_bytes));
  uint64_t running = FIRST_BLOCK_POSITION;
  for (uint32_t i = 0; i < *count; ++i) {
    BlockInfo b;
    IXO_TRY(codec_id, r.u8());
    if (*codec_id >= codec::CODECS.size()) return fail(codec::invalid("unknown codec in archive"));
    b.codec = codec::CODECS[*codec_id].id;
    IXO_TRY(aux, r.u8());
    b.aux = *aux;
    IXO_TRY(raw_len, r.u64());
    b.raw_len = *raw_len;
    IXO_TRY(stored_len, r.u64());
    b.stored_len = *stored_len;
    if (version >= 3) {
      IXO_TRY(position, r.u64());
      b.position = *position;
    } else {
      b.position = running;
    }
    if (b.raw_len > MAX_BLOCK_RAW_LEN || b.stored_len > MAX_BLOCK_STORED_LEN)
      return fail(codec::invalid("block too large"));
    if (b.position > UINT64_MAX - b.stored_len) return fail(codec::invalid("bad block position"));
    running = b.position + b.stored_len;
    blocks.push_back(b);
  }
  return {};
}

Status read_chunks(Reader& r, uint16_t version, const std::vector<BlockInfo>& blocks, std::vector<ChunkRef>& chunks) {
  IXO_TRY(count, r.u32());
  const size_t width = chunk_digest_bytes(version);
  const uint64_t record_bytes = 12 + width + (version >= 4 ? 1 : 0);
  chunks.reserve(chunks.size() + reserve_hint(*count, MAX_CHUNK_RESERVE, r.remaining(), record_bytes));
  for (uint32_t i = 0; i < *count; ++i) {
    ChunkRef c;
    IXO_TRY(block, r.u32());
    c.block = *block;
    IXO_TRY(offset, r.u32());
    c.offset = *offset;
    IXO_TRY(length, r.u32());
    c.length = *length;
    IXO_TRY(digest, r.take(width));
    std::copy(digest->begin(), digest->end(), c.digest.begin());
    if (version >= 4) {
      IXO_TRY(recipe, r.u8());
      if (*recipe > Recipe::MAX) return fail(codec::invalid("unknown chunk recipe"));
      c.recipe = *recipe;
      if (c.recipe & Recipe::DELTA) {
        IXO_TRY(base, r.u32());
        c.base = *base;
      }
    }
    if (c.recipe != 0 && (c.length == 0 || c.length > MAX_WEIGHT_CHUNK_LEN ||
                          (c.length & Recipe::WIDTH_MASK[c.recipe & Recipe::LAYOUT_MASK]) != 0))
      return fail(codec::invalid("invalid weight chunk length"));
    if (c.recipe & Recipe::DELTA) {
      if (c.base >= chunks.size()) return fail(codec::invalid("delta base must be an earlier chunk"));
      const ChunkRef& base = chunks[c.base];
      if ((base.recipe & Recipe::DELTA) || base.length != c.length)
        return fail(codec::invalid("delta chains or unequal base lengths are forbidden"));
    }
    if (c.block >= blocks.size()) return fail(codec::invalid("chunk refers to a missing block"));
    if (uint64_t{c.offset} + c.length > blocks[c.block].raw_len)
      return fail(codec::invalid("chunk lies outside its block"));
    chunks.push_back(c);
  }
  return {};
}

Status read_snapshots(Reader& r, uint16_t version, uint64_t flags, uint64_t prev_len, Index& index) {
  uint32_t count = 1;  // versions 1 and 2 hold exactly one snapshot and store no count
  if (version >= 3) {
    IXO_TRY(stored, r.u32());
    count = *stored;
  }
  const bool has_metadata = flags & FEATURE_ENTRY_METADATA;
  const bool has_edits = flags & FEATURE_SNAPSHOT_EDITS;
  index.snapshots.reserve(index.snapshots.size() +
                          reserve_hint(count, MAX_SNAPSHOT_RESERVE, r.remaining(), version >= 3 ? 12 : 4));
  for (uint32_t i = 0; i < count; ++i) {
    int64_t time = 0;
    if (version >= 3) {
      IXO_TRY(stored, r.i64());
      time = *stored;
    }
    Snapshot snap;
    if (has_edits) {
      IXO_TRY(edited, read_edits(r, version, has_metadata, index.chunks, time, prev_len));
      snap = std::move(*edited);
    } else {
      IXO_TRY(n, r.u32());
      std::vector<FileEntry> entries;
      // The smallest entry (version 1, empty path, no chunks) takes 56 bytes.
      entries.reserve(reserve_hint(*n, MAX_ENTRY_RESERVE, r.remaining(), 56));
      for (uint32_t k = 0; k < *n; ++k) {
        IXO_TRY(entry, read_file_entry(r, version, has_metadata, index.chunks));
        entries.push_back(std::move(*entry));
      }
      snap = Snapshot::full(time, std::move(entries));
    }
    prev_len = list_length(snap);
    index.snapshots.push_back(std::move(snap));
  }
  return {};
}

}  // namespace

Result<std::optional<ChainLink>> chain_link(SegmentView segment) {
  Reader r(segment.data);
  IXO_TRY(flags, read_features(r, segment.version));
  if (!(*flags & FEATURE_CHAINED_INDEXES)) return std::optional<ChainLink>{};
  ChainLink link;
  IXO_TRY(base_end, r.u64());
  link.base_end = *base_end;
  IXO_TRY(base_blocks, r.u32());
  link.base_blocks = *base_blocks;
  IXO_TRY(base_chunks, r.u32());
  link.base_chunks = *base_chunks;
  IXO_TRY(base_snapshots, r.u32());
  link.base_snapshots = *base_snapshots;
  IXO_TRY(depth, r.u32());
  link.depth = *depth;
  if (link.depth < 1 || link.depth > MAX_CHAIN_DEPTH) return fail(codec::invalid("index chain too long"));
  return std::optional<ChainLink>{link};
}

Result<Index> parse_index(SegmentView segment, Index base) {
  IXO_TRY(link, chain_link(segment));
  Reader r(segment.data);
  IXO_TRY(flags, read_features(r, segment.version));

  Index index;
  EntryList list;  // the base's last entry list: where the new snapshots' edits and hard-link checks start
  size_t base_snapshots = 0;
  if (*link) {
    IXO_CHECK(r.take(CHAIN_LINK_BYTES));
    if ((*link)->base_blocks != base.blocks.size() || (*link)->base_chunks != base.chunks.size() ||
        (*link)->base_snapshots != base.snapshots.size())
      return fail(codec::invalid("chained index does not match its base"));
    index = std::move(base);
    base_snapshots = index.snapshots.size();
    if (base_snapshots > 0) list = snapshot_files(index.snapshots, base_snapshots - 1);
  }

  IXO_CHECK(read_blocks(r, segment.version, index.blocks));
  IXO_CHECK(read_chunks(r, segment.version, index.blocks, index.chunks));
  IXO_CHECK(read_snapshots(r, segment.version, *flags, list.size(), index));
  if (!r.at_end()) return fail(codec::invalid("unexpected trailing index data"));
  if (index.blocks.size() > MAX_TABLE_LEN || index.chunks.size() > MAX_TABLE_LEN ||
      index.snapshots.size() > MAX_TABLE_LEN)
    return fail(codec::invalid("index tables too large"));

  // Every new snapshot's list must keep its hard links pointing at earlier regular files. The base's list stays
  // valid while the snapshot table grows: moving a Snapshot keeps its entries where they are.
  static_assert(std::is_nothrow_move_constructible_v<Snapshot>);
  for (size_t i = base_snapshots; i < index.snapshots.size(); ++i) {
    list = index.snapshots[i].apply(list);
    IXO_CHECK(check_hard_links(list));
  }
  return index;
}

}  // namespace ixo::format
