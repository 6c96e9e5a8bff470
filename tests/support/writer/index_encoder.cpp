// The decoded bytes of an index segment, field by field in the layout of its version.
#include "support/writer/archive_writer.h"
#include "support/writer/le_bytes.h"

namespace ixo::test {

EditSpec EditSpec::copy(uint32_t start, uint32_t count) {
  EditSpec e;
  e.tag = 0;
  e.start = start;
  e.count = count;
  return e;
}

EditSpec EditSpec::add(std::vector<Entry> entries) {
  EditSpec e;
  e.tag = 1;
  e.count = static_cast<uint32_t>(entries.size());
  e.entries = std::move(entries);
  return e;
}

Bytes encode_entry(const Entry& entry, uint16_t version, bool metadata) {
  if (entry.raw) return *entry.raw;
  Bytes out;
  le::str(out, entry.path);
  le::u64(out, entry.size);
  le::i64(out, entry.mtime);
  le::raw(out, entry.digest);
  if (version >= 2) {
    le::u8(out, entry.transform);
    le::u64(out, entry.stored_len);
  }
  le::u32(out, static_cast<uint32_t>(entry.chunks.size()));
  for (uint32_t c : entry.chunks) le::u32(out, c);
  if (metadata) {
    le::u8(out, entry.kind);
    le::u32(out, entry.mode);
    le::u32(out, entry.mtime_nanos);
    if (entry.kind == kind::Symlink || entry.kind == kind::HardLink) le::str(out, entry.link_target);
  }
  return out;
}

namespace {

void put_entries(Bytes& out, const std::vector<Entry>& entries, uint16_t version, bool metadata) {
  for (const Entry& e : entries) le::raw(out, encode_entry(e, version, metadata));
}

void put_edits(Bytes& out, const SnapshotSpec& s, uint16_t version, bool metadata) {
  std::vector<EditSpec> full;
  const std::vector<EditSpec>* edits = s.edits ? &*s.edits : &full;
  if (!s.edits && !s.entries.empty()) full.push_back(EditSpec::add(s.entries));
  le::u32(out, s.stored_count.value_or(static_cast<uint32_t>(edits->size())));
  for (const EditSpec& e : *edits) {
    le::u8(out, e.tag);
    if (e.tag == 1) {
      le::u32(out, e.stored_count.value_or(static_cast<uint32_t>(e.entries.size())));
      put_entries(out, e.entries, version, metadata);
    } else if (e.tag == 0) {
      le::u32(out, e.start);
      le::u32(out, e.count);
    }
  }
}

void put_full(Bytes& out, const SnapshotSpec& s, uint16_t version, bool metadata) {
  if (!s.edits) {
    le::u32(out, s.stored_count.value_or(static_cast<uint32_t>(s.entries.size())));
    put_entries(out, s.entries, version, metadata);
    return;
  }
  uint32_t n = 0;
  for (const EditSpec& e : *s.edits)
    if (e.tag == 1) n += static_cast<uint32_t>(e.entries.size());
  le::u32(out, s.stored_count.value_or(n));
  for (const EditSpec& e : *s.edits)
    if (e.tag == 1) put_entries(out, e.entries, version, metadata);
}

}  // namespace

Bytes encode_index(const IndexSpec& layout, IndexMap* map) {
  IndexMap m;
  Bytes out;
  const uint16_t v = layout.version;
  const uint64_t features = v >= 7 ? layout.features : 0;
  if (v >= 7) {
    m.features_at = out.size();
    le::u64(out, layout.features);
    if ((features & FEATURE_CHAINED_INDEXES) && layout.link) {
      m.link_at = out.size();
      le::u64(out, layout.link->base_end);
      le::u32(out, layout.link->base_blocks);
      le::u32(out, layout.link->base_chunks);
      le::u32(out, layout.link->base_snapshots);
      le::u32(out, layout.link->depth);
    }
  }

  m.block_count_at = out.size();
  le::u32(out, layout.block_count.value_or(static_cast<uint32_t>(layout.blocks.size())));
  for (const BlockRecord& b : layout.blocks) {
    m.block_at.push_back(out.size());
    le::u8(out, b.codec);
    le::u8(out, b.aux);
    le::u64(out, b.raw_len);
    le::u64(out, b.stored_len);
    if (v >= 3) le::u64(out, b.position);
  }

  m.chunk_count_at = out.size();
  le::u32(out, layout.chunk_count.value_or(static_cast<uint32_t>(layout.chunks.size())));
  const size_t digest_len = v <= 2 ? 0 : v <= 4 ? 16 : 32;
  for (const ChunkRecord& c : layout.chunks) {
    m.chunk_at.push_back(out.size());
    le::u32(out, c.block);
    le::u32(out, c.offset);
    le::u32(out, c.length);
    le::raw(out, std::span(c.digest).first(digest_len));
    if (v >= 4) {
      le::u8(out, c.recipe);
      if (c.recipe >= 4) le::u32(out, c.base);
    }
  }

  if (v >= 3) {
    m.snapshot_count_at = out.size();
    le::u32(out, layout.snapshot_count.value_or(static_cast<uint32_t>(layout.snapshots.size())));
  }
  const bool metadata = features & FEATURE_ENTRY_METADATA;
  for (const SnapshotSpec& s : layout.snapshots) {
    m.snapshot_at.push_back(out.size());
    if (v >= 3) le::i64(out, s.time);
    if (features & FEATURE_SNAPSHOT_EDITS)
      put_edits(out, s, v, metadata);
    else
      put_full(out, s, v, metadata);
  }
  le::raw(out, layout.trailing);
  m.end = out.size();
  if (map) *map = std::move(m);
  return out;
}

}  // namespace ixo::test
