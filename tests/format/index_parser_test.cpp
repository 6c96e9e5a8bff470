#include "format/index_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "byte_builder.h"
#include "format/features.h"
#include "format/snapshot.h"

namespace ixo::format {
namespace {

using test::bytes::block;
using test::bytes::Builder;
using test::bytes::chunk;
using test::bytes::entry;
using test::bytes::EntryFields;
using test::bytes::link_fields;

std::string describe(const auto& r) { return r ? "ok" : r.error().to_string(); }

// The head of a segment: feature flags and chain link where the version stores them.
Builder head(uint16_t version, uint64_t flags = 0, std::optional<ChainLink> link = std::nullopt) {
  Builder b;
  if (version >= 7) b.u64(flags);
  if (link) b.u64(link->base_end).u32(link->base_blocks).u32(link->base_chunks).u32(link->base_snapshots).u32(link->depth);
  return b;
}

// One snapshot, in full, of the given entries (count and time where the version stores them).
Builder one_snapshot(uint16_t version, bool metadata, const std::vector<EntryFields>& entries, int64_t time = 0) {
  Builder b;
  if (version >= 3) b.u32(1).i64(time);
  b.u32(static_cast<uint32_t>(entries.size()));
  for (const auto& e : entries) b.append(entry(version, metadata, e));
  return b;
}

// A whole segment: one block of 100 bytes, one chunk over its first 10, one snapshot of one file over that chunk.
std::vector<uint8_t> small_segment(uint16_t version) {
  EntryFields f;
  f.size = 10;
  f.chunks = {0};
  Builder b = head(version);
  b.u32(1).append(block(version, 1, 100, 50)).u32(1).append(chunk(version, 0, 0, 10, 0, 0, 0xAB));
  b.append(one_snapshot(version, false, {f}, 77));
  return b.take();
}

Result<Index> parse(uint16_t version, const std::vector<uint8_t>& bytes, Index base = {}) {
  return parse_index(SegmentView{bytes, version}, std::move(base));
}

TEST(ParseIndex, EveryVersionReadsItsLayout) {
  for (uint16_t v = 1; v <= 7; ++v) {
    auto bytes = small_segment(v);
    auto index = parse(v, bytes);
    ASSERT_TRUE(index) << "version " << v << ": " << index.error().to_string();
    ASSERT_EQ(index->blocks.size(), 1u);
    EXPECT_EQ(index->blocks[0].position, 8u) << v;
    EXPECT_EQ(index->blocks[0].codec, 1);
    ASSERT_EQ(index->chunks.size(), 1u);
    // Digest width: none in 1 and 2, the first 16 bytes in 3 and 4, all 32 from 5.
    const size_t width = v <= 2 ? 0 : v <= 4 ? 16 : 32;
    for (size_t i = 0; i < 32; ++i) EXPECT_EQ(index->chunks[0].digest[i], i < width ? 0xAB : 0) << v << " " << i;
    // Versions 1 and 2 hold exactly one snapshot, of time 0.
    ASSERT_EQ(index->snapshots.size(), 1u);
    EXPECT_EQ(index->snapshots[0].time, v <= 2 ? 0 : 77) << v;
    EXPECT_EQ(snapshot_files(index->snapshots, 0).size(), 1u);
  }
}

TEST(ParseIndex, OldVersionsPlaceBlocksOneAfterAnother) {
  for (uint16_t v : {1, 2}) {
    Builder b;
    b.u32(3).append(block(v, 0, 10, 10)).append(block(v, 0, 20, 20)).append(block(v, 0, 30, 30));
    b.u32(0).u32(0);
    auto index = parse(v, b.data());
    ASSERT_TRUE(index) << index.error().to_string();
    EXPECT_EQ(index->blocks[0].position, 8u);
    EXPECT_EQ(index->blocks[1].position, 18u);
    EXPECT_EQ(index->blocks[2].position, 38u);
  }
}

TEST(ParseIndex, BlockAndChunkRecords) {
  struct Case {
    const char* name;
    uint16_t version;
    Builder body;  // block table, chunk table; an empty snapshot table follows unless cut
    const char* error;
    bool cut = false;  // the body is the whole segment
  };
  auto blocks = [](uint16_t, std::initializer_list<Builder> records) {
    Builder b;
    b.u32(static_cast<uint32_t>(records.size()));
    for (const auto& r : records) b.append(r);
    return b;
  };
  auto chunks = [](std::initializer_list<Builder> records) {
    Builder b;
    b.u32(static_cast<uint32_t>(records.size()));
    for (const auto& r : records) b.append(r);
    return b;
  };
  auto one_block = [&](uint16_t v) { return blocks(v, {block(v, 0, 1000, 10)}); };
  const Case cases[] = {
      {"codec 3", 7, blocks(7, {block(7, 3, 10, 10)}).append(chunks({})), nullptr},
      {"codec 4", 7, blocks(7, {block(7, 4, 10, 10)}).append(chunks({})), "unknown codec in archive"},
      // The codec byte is tested before the rest of the record is read.
      {"codec 5 alone", 7, Builder().u32(1).u8(5), "unknown codec in archive", true},
      {"raw_len 2^30", 7, blocks(7, {block(7, 0, 1 << 30, 1)}).append(chunks({})), nullptr},
      {"raw_len 2^30 + 1", 7, blocks(7, {block(7, 0, (1 << 30) + 1, 1)}).append(chunks({})), "block too large"},
      {"stored_len 2^31", 7, blocks(7, {block(7, 0, 1, 1ull << 31)}).append(chunks({})), nullptr},
      {"stored_len 2^31 + 1", 7, blocks(7, {block(7, 0, 1, (1ull << 31) + 1)}).append(chunks({})), "block too large"},
      {"position overflows", 7, blocks(7, {block(7, 0, 1, 2, UINT64_MAX - 1)}).append(chunks({})),
       "bad block position"},
      {"huge block count", 7, Builder().u32(4'000'000'000u).zeros(10), "archive metadata is truncated", true},
      {"huge chunk count", 7, Builder().u32(0).u32(4'000'000'000u).zeros(10), "archive metadata is truncated", true},
      {"recipe 7", 7, one_block(7).append(chunks({chunk(7, 0, 0, 4, 7, 0)})), "delta base must be an earlier chunk"},
      {"recipe 8 alone", 7, one_block(7).append(Builder().u32(1).u32(0).u32(0).u32(4).zeros(32).u8(8)),
       "unknown chunk recipe", true},
      {"plain chunk of length 0", 7, one_block(7).append(chunks({chunk(7, 0, 0, 0)})), nullptr},
      {"delta chunk of length 0", 7, one_block(7).append(chunks({chunk(7, 0, 0, 0), chunk(7, 0, 0, 0, 4, 0)})),
       "invalid weight chunk length"},
      {"layout 1 odd", 7, one_block(7).append(chunks({chunk(7, 0, 0, 3, 1)})), "invalid weight chunk length"},
      {"layout 2 even", 7, one_block(7).append(chunks({chunk(7, 0, 0, 4, 2)})), nullptr},
      {"layout 3 by 2", 7, one_block(7).append(chunks({chunk(7, 0, 0, 6, 3)})), "invalid weight chunk length"},
      {"layout 3 by 4", 7, one_block(7).append(chunks({chunk(7, 0, 0, 8, 3)})), nullptr},
      {"262144 bytes", 7, blocks(7, {block(7, 0, 1 << 20, 1)}).append(chunks({chunk(7, 0, 0, 262144, 1)})),
       nullptr},
      {"262145 bytes", 7, blocks(7, {block(7, 0, 1 << 20, 1)}).append(chunks({chunk(7, 0, 0, 262145, 4)})),
       "invalid weight chunk length"},
      {"delta on itself", 7, one_block(7).append(chunks({chunk(7, 0, 0, 4), chunk(7, 0, 0, 4, 4, 1)})),
       "delta base must be an earlier chunk"},
      {"delta on an earlier chunk", 7, one_block(7).append(chunks({chunk(7, 0, 0, 4), chunk(7, 0, 4, 4, 7, 0)})),
       nullptr},
      {"delta on a delta", 7,
       one_block(7).append(chunks({chunk(7, 0, 0, 4), chunk(7, 0, 4, 4, 4, 0), chunk(7, 0, 8, 4, 4, 1)})),
       "delta chains or unequal base lengths are forbidden"},
      {"delta of another length", 7, one_block(7).append(chunks({chunk(7, 0, 0, 4), chunk(7, 0, 4, 8, 4, 0)})),
       "delta chains or unequal base lengths are forbidden"},
      {"missing block", 7, one_block(7).append(chunks({chunk(7, 1, 0, 4)})), "chunk refers to a missing block"},
      {"chunk to the block's end", 7, one_block(7).append(chunks({chunk(7, 0, 996, 4)})), nullptr},
      {"chunk past the block's end", 7, one_block(7).append(chunks({chunk(7, 0, 997, 4)})),
       "chunk lies outside its block"},
      {"offset and length past 2^32", 7, one_block(7).append(chunks({chunk(7, 0, 0xFFFFFFFF, 2)})),
       "chunk lies outside its block"},
      // Before version 4 nothing follows the digest; the recipe is 0.
      {"version 3 chunk", 3, one_block(3).append(chunks({chunk(3, 0, 1, 3)})), nullptr},
  };
  for (const Case& c : cases) {
    Builder b = head(c.version);
    b.append(c.body);
    if (!c.cut) b.u32(0);
    auto got = parse(c.version, b.data());
    EXPECT_EQ(describe(got), c.error ? c.error : "ok") << c.name;
  }
}

TEST(ParseIndex, ChunkFieldsAsRead) {
  Builder b = head(7);
  b.u32(1).append(block(7, 2, 64, 9, 100));
  b.u32(2).append(chunk(7, 0, 0, 8, 3, 0, 1)).append(chunk(7, 0, 8, 8, 6, 0, 2));
  b.u32(0);
  auto index = parse(7, b.data());
  ASSERT_TRUE(index) << index.error().to_string();
  EXPECT_EQ(index->blocks[0].position, 100u);
  EXPECT_EQ(index->blocks[0].stored_len, 9u);
  EXPECT_EQ(index->blocks[0].raw_len, 64u);
  EXPECT_EQ(index->blocks[0].codec, 2);
  EXPECT_EQ(index->chunks[1].recipe, 6);
  EXPECT_EQ(index->chunks[1].base, 0u);
  EXPECT_EQ(index->chunks[1].offset, 8u);
  EXPECT_EQ(index->chunks[1].digest[31], 2);
}

TEST(ParseIndex, SnapshotsAndTrailingBytes) {
  Builder empty_tables;
  empty_tables.u32(0).u32(0);
  struct Case {
    const char* name;
    Builder snapshots;
    const char* error;
  };
  const Case cases[] = {
      {"no snapshots", Builder().u32(0), nullptr},
      {"one byte after the last snapshot", Builder().u32(0).u8(0), "unexpected trailing index data"},
      {"huge snapshot count", Builder().u32(4'000'000'000u).zeros(10), "archive metadata is truncated"},
      {"huge entry count", Builder().u32(1).i64(0).u32(4'000'000'000u).zeros(10), "archive metadata is truncated"},
      {"snapshot without its time", Builder().u32(1).u32(0), "archive metadata is truncated"},
      {"entry errors pass through", Builder().u32(1).i64(0).u32(1).append(entry(7, false, [] {
                                      EntryFields f;
                                      f.chunks = {0};
                                      return f;
                                    }())),
       "file refers to a missing chunk"},
  };
  for (const Case& c : cases) {
    Builder b = head(7);
    b.append(empty_tables).append(c.snapshots);
    EXPECT_EQ(describe(parse(7, b.data())), c.error ? c.error : "ok") << c.name;
  }
}

TEST(ReadFeatures, KnownAndUnknownBits) {
  struct Case {
    uint64_t flags;
    const char* error;
  };
  const Case cases[] = {
      {0, nullptr},
      {1 | 2 | 4, nullptr},
      {8, "archive needs format feature 3, which this ixo does not know (made by a newer ixo?)"},
      {8 | 32 | (1ull << 63) | 1,
       "archive needs format features 3, 5, 63, which this ixo does not know (made by a newer ixo?)"},
      {1ull << 10, "archive needs format feature 10, which this ixo does not know (made by a newer ixo?)"},
  };
  for (const Case& c : cases) {
    auto bytes = Builder().u64(c.flags).take();
    Reader r(bytes);
    auto got = read_features(r, 7);
    EXPECT_EQ(describe(got), c.error ? c.error : "ok") << c.flags;
    if (!got) {
      EXPECT_EQ(got.error().kind(), ErrorKind::Unsupported);
    }
    if (got) {
      EXPECT_EQ(*got, c.flags);
    }
  }
  // Before version 7 nothing is stored.
  std::vector<uint8_t> none;
  Reader r(none);
  EXPECT_EQ(read_features(r, 6).value(), 0u);
  EXPECT_EQ(r.pos(), 0u);
}

TEST(ChainLink, DepthAndTruncation) {
  struct Case {
    const char* name;
    Builder bytes;
    const char* error;
    bool chained = true;
  };
  auto link = [](uint32_t depth) { return head(7, 4, ChainLink{1000, 1, 2, 3, depth}); };
  const Case cases[] = {
      {"full index", head(7, 1 | 2), nullptr, false},
      {"depth 1", link(1), nullptr},
      {"depth 64", link(64), nullptr},
      {"depth 0", link(0), "index chain too long"},
      {"depth 65", link(65), "index chain too long"},
      {"link cut short", head(7, 4).u64(1000).u32(1), "archive metadata is truncated"},
      {"flags cut short", Builder().u32(4), "archive metadata is truncated"},
      {"unknown flag", head(7, 4 | 16).append(link(1)),
       "archive needs format feature 4, which this ixo does not know (made by a newer ixo?)"},
  };
  for (const Case& c : cases) {
    auto got = chain_link(SegmentView{c.bytes.data(), 7});
    EXPECT_EQ(describe(got), c.error ? c.error : "ok") << c.name;
    if (got) {
      EXPECT_EQ(got->has_value(), c.chained) << c.name;
      if (*got) {
        EXPECT_EQ((**got).base_end, 1000u);
      }
      if (*got) {
        EXPECT_EQ((**got).base_snapshots, 3u);
      }
    }
  }
  // Before version 7 there are no flags, so no link, whatever the bytes say.
  auto bytes = link(1).take();
  auto got = chain_link(SegmentView{bytes, 6});
  ASSERT_TRUE(got);
  EXPECT_FALSE(got->has_value());
}

// A full index with entry metadata and edits: two snapshots, the second copying from the first.
std::vector<uint8_t> full_with_edits() {
  EntryFields a;
  a.path = "a";
  a.size = 10;
  a.chunks = {0};
  EntryFields b = a;
  b.path = "b";
  Builder s = head(7, 1 | 2);
  s.u32(1).append(block(7, 0, 100, 100)).u32(1).append(chunk(7, 0, 0, 10));
  s.u32(2);
  s.i64(1).u32(1).u8(1).u32(2).append(entry(7, true, a)).append(entry(7, true, b));
  s.i64(2).u32(1).u8(0).u32(1).u32(1);  // copy "b"
  return s.take();
}

TEST(ParseIndex, ChainedSegmentBuildsOnItsBase) {
  auto base_bytes = full_with_edits();
  auto base = parse(7, base_bytes);
  ASSERT_TRUE(base) << base.error().to_string();

  // The chained segment copies from the base's last list (one entry: "b") and adds a hard link to it.
  auto chained = [](ChainLink link, uint32_t copy_count) {
    Builder s = head(7, 1 | 2 | 4, link);
    s.u32(1).append(block(7, 0, 50, 50, 500)).u32(1).append(chunk(7, 1, 0, 10));
    s.u32(1).i64(3);
    s.u32(2).u8(0).u32(0).u32(copy_count).u8(1).u32(1).append(entry(7, true, link_fields("h", 3, "b")));
    return s.take();
  };
  {
    auto bytes = chained(ChainLink{400, 1, 1, 2, 1}, 1);
    auto index = parse(7, bytes, *base);
    ASSERT_TRUE(index) << index.error().to_string();
    EXPECT_EQ(index->blocks.size(), 2u);
    EXPECT_EQ(index->chunks.size(), 2u);
    ASSERT_EQ(index->snapshots.size(), 3u);
    auto list = snapshot_files(index->snapshots, 2);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->path, "b");
    EXPECT_EQ(list[1]->path, "h");
  }
  // The base's last list has one entry: copying two runs past it.
  {
    auto bytes = chained(ChainLink{400, 1, 1, 2, 1}, 2);
    EXPECT_EQ(describe(parse(7, bytes, *base)), "snapshot copies outside the previous snapshot");
  }
  const ChainLink mismatched[] = {{400, 2, 1, 2, 1}, {400, 1, 0, 2, 1}, {400, 1, 1, 3, 1}};
  for (const ChainLink& link : mismatched) {
    auto bytes = chained(link, 1);
    EXPECT_EQ(describe(parse(7, bytes, *base)), "chained index does not match its base");
  }
}

TEST(ParseIndex, HardLinksCheckedInEveryNewSnapshot) {
  auto file = [] {
    EntryFields f;
    f.path = "f";
    f.size = 10;
    f.chunks = {0};
    return f;
  };
  // Snapshot 0: f, h -> f. Snapshot 1 copies only the link: its target is gone.
  Builder s = head(7, 1 | 2);
  s.u32(1).append(block(7, 0, 100, 100)).u32(1).append(chunk(7, 0, 0, 10));
  s.u32(2);
  s.i64(0).u32(1).u8(1).u32(2).append(entry(7, true, file())).append(entry(7, true, link_fields("h", 3, "f")));
  s.i64(0).u32(1).u8(0).u32(1).u32(1);
  EXPECT_EQ(describe(parse(7, s.data())), "hard link does not name an earlier regular file");

  // Without entry metadata there are no links to check.
  Builder ok = head(7, 2);
  ok.u32(1).append(block(7, 0, 100, 100)).u32(1).append(chunk(7, 0, 0, 10));
  ok.u32(1).i64(0).u32(1).u8(1).u32(1).append(entry(7, false, file()));
  EXPECT_EQ(describe(parse(7, ok.data())), "ok");
}

}  // namespace
}  // namespace ixo::format
