#include <gtest/gtest.h>

#include "fixture.h"
#include "pipeline/chunk.h"
#include "pipeline/pipeline.h"
#include "pipeline/weights.h"
#include "util/blake3.h"

namespace ixo::pack {
namespace {

using Bytes = std::vector<uint8_t>;

// Byte-plane vectors: stored planes and the elements they stand for.
struct LayoutCase {
  uint8_t layout;
  Bytes raw;
  Bytes rebuilt;
};
const LayoutCase LAYOUTS[] = {
    // bfloat16 1.0 and -2.0: exponent plane 7F 80, sign+mantissa plane 00 80.
    {1, fixture::bytes({0x7F, 0x80, 0x00, 0x80}), fixture::bytes({0x80, 0x3F, 0x00, 0xC0})},
    {2, fixture::bytes({1, 2, 3, 4, 5, 6}), fixture::bytes({1, 4, 2, 5, 3, 6})},
    {3, fixture::bytes({0, 1, 2, 3, 4, 5, 6, 7}), fixture::bytes({0, 2, 4, 6, 1, 3, 5, 7})},
    {0, fixture::bytes({9, 8, 7}), fixture::bytes({9, 8, 7})},
};

TEST(Weights, RebuildsEveryLayout) {
  for (const LayoutCase& c : LAYOUTS) {
    auto got = weights::rebuild(c.layout, c.raw);
    ASSERT_TRUE(got) << int(c.layout);
    EXPECT_EQ(*got, c.rebuilt) << int(c.layout);
  }
}

TEST(Weights, BfloatSignAndMantissaBitsLandInPlace) {
  // Exponent 0x01, sign set, mantissa 0x7F: 1 0000 0001 111 1111 = 0x80FF.
  EXPECT_EQ(weights::rebuild(1, fixture::bytes({0x01, 0xFF})).value(), fixture::bytes({0xFF, 0x80}));
  // Exponent 0xFF, sign clear, mantissa 0: 0x7F80.
  EXPECT_EQ(weights::rebuild(1, fixture::bytes({0xFF, 0x00})).value(), fixture::bytes({0x80, 0x7F}));
}

TEST(Weights, LengthNotAMultipleOfTheWidthIsMisaligned) {
  const struct {
    uint8_t layout;
    size_t len;
  } cases[] = {{3, 6}, {3, 1}, {2, 3}, {1, 5}};
  for (const auto& c : cases) {
    auto got = weights::rebuild(c.layout, Bytes(c.len, 1));
    ASSERT_FALSE(got) << int(c.layout) << " " << c.len;
    EXPECT_EQ(got.error().to_string(), "misaligned weight chunk");
    EXPECT_EQ(got.error().kind(), ErrorKind::InvalidData);
  }
}

// Rebuilds the chunks of one file, each in turn, and keeps copies of them (and whether each came borrowed).
struct Rebuilt {
  std::vector<Bytes> chunks;
  std::vector<bool> borrowed;
};
Result<Rebuilt> rebuild_all(const Archive& archive, const std::vector<uint32_t>& chunks, uint64_t threads = 1) {
  fixture::Files files;
  files.regular(chunks);
  return with_feed(archive, files.list, threads, [&](BlockFeed& feed) -> Result<Rebuilt> {
    Rebuilt out;
    for (const uint32_t c : chunks) {
      auto bytes = chunk(archive, feed, c);
      if (!bytes) return fail(bytes.error());
      out.borrowed.push_back(bytes->is_borrowed());
      out.chunks.emplace_back(bytes->bytes().begin(), bytes->bytes().end());
    }
    return out;
  });
}

TEST(Chunk, EveryLayoutThroughTheFeedWithDigestOverTheRebuiltBytes) {
  for (const LayoutCase& c : LAYOUTS) {
    fixture::ArchiveBuilder b;
    Bytes block = fixture::pattern(5, 1);
    block.insert(block.end(), c.raw.begin(), c.raw.end());
    const uint32_t blk = b.block(block, 1);
    const uint32_t ch = b.chunk(blk, 5, uint32_t(c.raw.size()), c.layout, 0, c.rebuilt);
    fixture::TempDir dir;
    const Archive archive = b.build(dir.path());
    auto got = rebuild_all(archive, {ch});
    ASSERT_TRUE(got) << int(c.layout) << ": " << got.error().to_string();
    EXPECT_EQ(got->chunks[0], c.rebuilt) << int(c.layout);
  }
}

TEST(Chunk, RecipeZeroIsBorrowedAndEveryOtherRecipeOwned) {
  fixture::ArchiveBuilder b;
  const uint32_t blk = b.block(fixture::pattern(64, 1));
  const uint32_t plain = b.chunk(blk, 0, 8);
  const Bytes copy = b.chunk_bytes(plain);
  const uint32_t layout0 = b.chunk(blk, 0, 8, 0, 0, copy);  // recipe 0 too, same digest
  const uint32_t planes = b.chunk(blk, 8, 4, 2, 0, weights::rebuild(2, Bytes(b.raw(blk).begin() + 8, b.raw(blk).begin() + 12)).value());
  fixture::TempDir dir;
  const Archive archive = b.build(dir.path());
  auto got = rebuild_all(archive, {plain, layout0, planes});
  ASSERT_TRUE(got) << got.error().to_string();
  EXPECT_EQ(got->borrowed, (std::vector<bool>{true, true, false}));
  EXPECT_EQ(got->chunks[0], copy);
}

TEST(Chunk, DeltaXorsWithItsBaseInTheSameOrAnotherBlock) {
  for (const bool same_block : {true, false}) {
    fixture::ArchiveBuilder b;
    const Bytes base_bytes = fixture::pattern(16, 3);
    const Bytes target = fixture::pattern(16, 4);
    Bytes stored_delta(16);
    for (size_t i = 0; i < 16; ++i) stored_delta[i] = base_bytes[i] ^ target[i];
    Bytes first = base_bytes, second;
    if (same_block)
      first.insert(first.end(), stored_delta.begin(), stored_delta.end());
    else
      second = stored_delta;
    const uint32_t b0 = b.block(first, 2);
    const uint32_t b1 = same_block ? b0 : b.block(second, 1);
    const uint32_t base = b.chunk(b0, 0, 16);
    const uint32_t delta = b.chunk(b1, same_block ? 16 : 0, 16, 4, base, target);
    fixture::TempDir dir;
    const Archive archive = b.build(dir.path());
    // The base block is needed for nothing after the base: a view into it would not survive the delta's read.
    auto got = rebuild_all(archive, {delta});
    ASSERT_TRUE(got) << same_block << ": " << got.error().to_string();
    EXPECT_EQ(got->chunks[0], target) << same_block;
    EXPECT_FALSE(got->borrowed[0]);
  }
}

TEST(Chunk, LayoutThenDeltaThenDigest) {
  // Recipe 5: planes of layout 1 rebuilt first, then XORed with the base.
  fixture::ArchiveBuilder b;
  const Bytes planes = fixture::bytes({0x7F, 0x80, 0x00, 0x80});
  const Bytes base_bytes = fixture::bytes({0x01, 0x02, 0x03, 0x04});
  Bytes block = base_bytes;
  block.insert(block.end(), planes.begin(), planes.end());
  const uint32_t blk = b.block(block);
  const uint32_t base = b.chunk(blk, 0, 4);
  const Bytes want = fixture::bytes({0x80 ^ 1, 0x3F ^ 2, 0x00 ^ 3, 0xC0 ^ 4});
  const uint32_t ch = b.chunk(blk, 4, 4, 5, base, want);
  fixture::TempDir dir;
  const Archive archive = b.build(dir.path());
  auto got = rebuild_all(archive, {ch});
  ASSERT_TRUE(got) << got.error().to_string();
  EXPECT_EQ(got->chunks[0], want);
}

TEST(Chunk, DamagedBaseFailsBeforeTheDeltaIsRead) {
  fixture::ArchiveBuilder b;
  const uint32_t b0 = b.block(fixture::pattern(16, 1));
  const uint32_t b1 = b.block(fixture::pattern(16, 2));
  format::Digest wrong{};
  wrong[0] = 1;
  const uint32_t base = b.chunk_with_digest(b0, 0, 16, wrong);
  const uint32_t delta = b.chunk(b1, 0, 16, 4, base, fixture::pattern(16, 3));
  fixture::TempDir dir;
  const Archive archive = b.build(dir.path());
  fixture::Files files;
  files.regular({delta});
  uint64_t reads_done = 99;
  const Status s = with_feed(archive, files.list, 2, [&](BlockFeed& feed) -> Status {
    auto got = chunk(archive, feed, delta);
    reads_done = feed.next_read();
    if (!got) return fail(got.error());
    return {};
  });
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().to_string(), "chunk checksum mismatch");
  EXPECT_EQ(reads_done, 1u);
}

// Digest checks by format version: 32 bytes above 4; at 4 and below 16 bytes, all zero meaning none.
TEST(ChunkDigest, ComparedByVersion) {
  const Bytes data = fixture::pattern(40, 5);
  const blake3::Digest h = blake3::hash(data);
  format::Digest zero{};
  format::Digest first16 = zero;  // right first half, wrong second half
  std::copy(h.begin(), h.begin() + 16, first16.begin());
  for (int i = 16; i < 32; ++i) first16[i] = uint8_t(~h[i]);
  format::Digest last16 = zero;  // first half zero, second half set
  for (int i = 16; i < 32; ++i) last16[i] = 0xAA;
  format::Digest full = zero;
  std::copy(h.begin(), h.end(), full.begin());

  const struct {
    uint16_t version;
    const format::Digest* digest;
    bool ok;
  } cases[] = {
      {1, &zero, true},     {2, &zero, true},     {4, &zero, true},      {5, &zero, false},     {7, &zero, false},
      {3, &first16, true},  {4, &first16, true},  {5, &first16, false},  {4, &last16, false},   {3, &full, true},
      {5, &full, true},     {7, &full, true},
  };
  for (const auto& c : cases) {
    format::ChunkRef ref;
    ref.digest = *c.digest;
    const Status s = verify_chunk_digest(c.version, ref, data);
    EXPECT_EQ(s.has_value(), c.ok) << "version " << c.version;
    if (!s) {
      EXPECT_EQ(s.error().to_string(), "chunk checksum mismatch");
    }
  }
}

TEST(ChunkDigest, EmptyChunkIsAnEmptyViewCheckedAgainstTheEmptyHash) {
  for (const uint16_t version : {4, 5}) {
    fixture::ArchiveBuilder b;
    const uint32_t blk = b.block(fixture::pattern(8, 1));
    const uint32_t empty = b.chunk(blk, 8, 0);  // the hash of empty input
    format::Digest zero{};
    const uint32_t none = b.chunk_with_digest(blk, 8, 0, zero);
    fixture::TempDir dir;
    const Archive archive = b.build(dir.path(), version);
    auto good = rebuild_all(archive, {empty});
    ASSERT_TRUE(good) << version;
    EXPECT_TRUE(good->chunks[0].empty());
    EXPECT_TRUE(good->borrowed[0]);
    // An all-zero digest is none at version 4 and a real (wrong) digest from version 5 on.
    EXPECT_EQ(rebuild_all(archive, {none}).has_value(), version == 4);
  }
}

}  // namespace
}  // namespace ixo::pack
