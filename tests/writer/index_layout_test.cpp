// The decoded index bytes per segment version: record widths, optional fields and the stored edit list.
#include <gtest/gtest.h>

#include "support/writer/archive_writer.h"
#include "writer/file_check.h"

namespace ixo::test {
namespace {

IndexSpec sample_spec(uint16_t version) {
  IndexSpec s;
  s.version = version;
  s.features = version >= 7 ? FEATURE_ENTRY_METADATA : 0;
  s.blocks = {BlockRecord{.codec = 1, .aux = 0, .raw_len = 10, .stored_len = 20, .position = 8},
              BlockRecord{.codec = 0, .aux = 0, .raw_len = 30, .stored_len = 30, .position = 28}};
  s.chunks = {ChunkRecord{.block = 0, .offset = 0, .length = 10},
              ChunkRecord{.block = 1, .offset = 0, .length = 10, .recipe = 4, .base = 0},
              ChunkRecord{.block = 1, .offset = 10, .length = 20, .recipe = 2}};
  Entry e;
  e.path = "ab";
  e.size = 20;
  e.stored_len = 20;
  e.chunks = {0, 1};
  s.snapshots = {SnapshotSpec{.time = 5, .entries = {e}}};
  return s;
}

TEST(WriterIndexLayout, RecordWidthsFollowTheVersion) {
  struct Case {
    uint16_t version;
    size_t flags, block, chunks, snapshot_head, entry;
  };
  // chunks: three records of 12 bytes plus the digest width, plus the recipe byte (and the delta's base).
  const Case cases[] = {
      {1, 0, 18, 3 * 12, 0, 4 + 2 + 8 + 8 + 32 + 4 + 8},
      {2, 0, 18, 3 * 12, 0, 4 + 2 + 8 + 8 + 32 + 9 + 4 + 8},
      {3, 0, 26, 3 * 28, 4 + 8, 4 + 2 + 8 + 8 + 32 + 9 + 4 + 8},
      {4, 0, 26, 3 * 29 + 4, 4 + 8, 4 + 2 + 8 + 8 + 32 + 9 + 4 + 8},
      {5, 0, 26, 3 * 45 + 4, 4 + 8, 4 + 2 + 8 + 8 + 32 + 9 + 4 + 8},
      {6, 0, 26, 3 * 45 + 4, 4 + 8, 4 + 2 + 8 + 8 + 32 + 9 + 4 + 8},
      {7, 8, 26, 3 * 45 + 4, 4 + 8, 4 + 2 + 8 + 8 + 32 + 9 + 4 + 8 + 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    IndexMap map;
    Bytes ix = encode_index(sample_spec(c.version), &map);
    EXPECT_EQ(ix.size(), c.flags + 4 + 2 * c.block + 4 + c.chunks + c.snapshot_head + 4 + c.entry);
    EXPECT_EQ(map.block_count_at, c.flags);
    EXPECT_EQ(map.chunk_count_at, c.flags + 4 + 2 * c.block);
    EXPECT_EQ(map.end, ix.size());
    EXPECT_EQ(check::u32_at(ix, map.chunk_count_at), 3u);
    if (c.version >= 3) {
      EXPECT_EQ(check::u64_at(ix, map.snapshot_at[0]), 5u);  // the time
    }
  }
}

TEST(WriterIndexLayout, ChunkDigestsTakeTheVersionsWidth) {
  for (uint16_t v : {2, 3, 4, 5, 7}) {
    SCOPED_TRACE(v);
    IndexSpec s = sample_spec(v);
    for (auto& c : s.chunks) c.digest.fill(0xAB);
    IndexMap map;
    Bytes ix = encode_index(s, &map);
    size_t width = v <= 2 ? 0 : v <= 4 ? 16 : 32;
    size_t at = map.chunk_at[0] + 12;
    for (size_t i = 0; i < width; ++i) EXPECT_EQ(ix[at + i], 0xAB);
    if (v >= 4) {
      EXPECT_EQ(ix[at + width], 0);                   // recipe of the plain chunk
      EXPECT_EQ(ix[map.chunk_at[1] + 12 + width], 4);  // the delta chunk's recipe, then its base
    }
    EXPECT_EQ(map.chunk_at[1] - map.chunk_at[0], 12 + width + (v >= 4 ? 1 : 0));
  }
}

TEST(WriterIndexLayout, VersionSevenSegmentByteForByte) {
  IndexSpec s;
  s.version = 7;
  s.features = FEATURE_ENTRY_METADATA | FEATURE_SNAPSHOT_EDITS | FEATURE_CHAINED_INDEXES;
  s.link = ChainLinkRecord{.base_end = 0x0102, .base_blocks = 3, .base_chunks = 4, .base_snapshots = 5, .depth = 6};
  Entry link = ArchiveBuilder::symlink("l", "t", {.mode = 0777, .mtime = -1, .mtime_nanos = 9});
  s.snapshots = {SnapshotSpec{.time = 2, .edits = std::vector<EditSpec>{EditSpec::copy(1, 2), EditSpec::add({link})}}};
  Bytes expect = {
      7, 0, 0, 0, 0, 0, 0, 0,                        // flags
      2, 1, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0,  // link: base_end, blocks, chunks
      5, 0, 0, 0, 6, 0, 0, 0,                        // snapshots, depth
      0, 0, 0, 0, 0, 0, 0, 0,                        // no blocks, no chunks
      1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0,            // one snapshot, time 2
      2, 0, 0, 0,                                    // two edits
      0, 1, 0, 0, 0, 2, 0, 0, 0,                     // copy 1, 2
      1, 1, 0, 0, 0,                                 // add 1
      1, 0, 0, 0, 'l',                               // path
      0, 0, 0, 0, 0, 0, 0, 0,                        // size
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // mtime -1
  };
  const Digest& e = empty_digest();
  expect.insert(expect.end(), e.begin(), e.end());
  const Bytes tail = {
      0, 0, 0, 0, 0, 0, 0, 0, 0,   // transform, stored_len
      0, 0, 0, 0,                  // no chunks
      2, 0xFF, 1, 0, 0, 9, 0, 0, 0,  // kind, mode 0o777, nanos
      1, 0, 0, 0, 't',             // link target
  };
  expect.insert(expect.end(), tail.begin(), tail.end());
  EXPECT_EQ(encode_index(s), expect);
}

TEST(WriterIndexLayout, OptionalEntryFields) {
  Entry f;
  f.path = "f";
  f.size = 3;
  f.stored_len = 3;
  Entry dir = ArchiveBuilder::dir("d", {.mode = 0755});
  // Version 1 drops transform and stored length; metadata adds kind, mode and nanos, and only links a target.
  EXPECT_EQ(encode_entry(f, 2, false).size() - encode_entry(f, 1, false).size(), 9u);
  EXPECT_EQ(encode_entry(f, 7, true).size() - encode_entry(f, 7, false).size(), 9u);
  dir.link_target = "ignored";
  EXPECT_EQ(encode_entry(dir, 7, true).size(), encode_entry(f, 7, true).size());
  Entry raw;
  raw.raw = Bytes{1, 2, 3};
  EXPECT_EQ(encode_entry(raw, 7, true), (Bytes{1, 2, 3}));
}

TEST(WriterIndexLayout, FullSnapshotsBecomeOneAddEditAndEditsExpandWithoutTheFlag) {
  Entry a;
  a.path = "a";
  IndexSpec s;
  s.version = 7;
  s.features = FEATURE_SNAPSHOT_EDITS;
  s.snapshots = {SnapshotSpec{.entries = {a}}, SnapshotSpec{}};
  IndexMap map;
  Bytes ix = encode_index(s, &map);
  size_t at = map.snapshot_at[0] + 8;
  EXPECT_EQ(check::u32_at(ix, at), 1u);  // one edit
  EXPECT_EQ(ix[at + 4], 1);              // add
  EXPECT_EQ(check::u32_at(ix, at + 5), 1u);
  EXPECT_EQ(check::u32_at(ix, map.snapshot_at[1] + 8), 0u);  // an empty snapshot has no edit

  s.features = 0;
  s.snapshots = {SnapshotSpec{.edits = std::vector<EditSpec>{EditSpec::copy(0, 4), EditSpec::add({a, a})}}};
  ix = encode_index(s, &map);
  EXPECT_EQ(check::u32_at(ix, map.snapshot_at[0] + 8), 2u);  // the entries of the add edits, in full

  // Versions 1 and 2 store neither a snapshot count nor a time.
  s.version = 2;
  ix = encode_index(s, &map);
  EXPECT_EQ(map.snapshot_count_at, IndexMap::npos);
  EXPECT_EQ(map.snapshot_at[0], map.chunk_count_at + 4);
  EXPECT_EQ(check::u32_at(ix, map.snapshot_at[0]), 2u);
}

TEST(WriterIndexLayout, CountOverridesAndTrailingBytes) {
  IndexSpec s = sample_spec(7);
  s.block_count = 4000000000u;
  s.chunk_count = 0;
  s.snapshot_count = 9;
  s.trailing = {0xAA};
  IndexMap map;
  Bytes ix = encode_index(s, &map);
  EXPECT_EQ(check::u32_at(ix, map.block_count_at), 4000000000u);
  EXPECT_EQ(check::u32_at(ix, map.chunk_count_at), 0u);
  EXPECT_EQ(check::u32_at(ix, map.snapshot_count_at), 9u);
  EXPECT_EQ(ix.back(), 0xAA);
}

}  // namespace
}  // namespace ixo::test
