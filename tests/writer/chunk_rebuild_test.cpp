// Byte-plane and delta chunks as written: the stored bytes, taken from the archive file, rebuild to the content
// under a rebuild written here on its own, and the index carries the digest of the rebuilt bytes.
#include <gtest/gtest.h>

#include <random>

#include "support/writer/archive_writer.h"
#include "writer/file_check.h"

namespace ixo::test {
namespace {

// Rebuilds stored chunk bytes: planes put back by the layout, then XOR with the base's rebuilt bytes.
Bytes rebuild(uint8_t recipe, std::span<const uint8_t> raw, std::span<const uint8_t> base = {}) {
  const int layout = recipe & 3;
  Bytes d(raw.begin(), raw.end());
  if (layout == 1) {
    const size_t n = raw.size() / 2;
    for (size_t i = 0; i < n; ++i) {
      unsigned a = raw[i], b = raw[n + i];
      unsigned v = ((b & 0x80u) << 8) | (a << 7) | (b & 0x7Fu);
      d[2 * i] = static_cast<uint8_t>(v & 0xFF);
      d[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
  } else if (layout >= 2) {
    const size_t width = layout == 3 ? 4 : 2, n = raw.size() / width;
    for (size_t i = 0; i < n; ++i)
      for (size_t k = 0; k < width; ++k) d[i * width + k] = raw[k * n + i];
  }
  if (recipe & 4)
    for (size_t j = 0; j < std::min(d.size(), base.size()); ++j) d[j] ^= base[j];
  return d;
}

TEST(WriterChunks, PlaneSplitsOfTheWorkedExamples) {
  EXPECT_EQ(split_planes(1, Bytes{0x80, 0x3F, 0x00, 0xC0}), (Bytes{0x7F, 0x80, 0x00, 0x80}));  // 1.0, -2.0
  EXPECT_EQ(split_planes(2, Bytes{1, 4, 2, 5, 3, 6}), (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(split_planes(3, Bytes{0, 2, 4, 6, 1, 3, 5, 7}), (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(rebuild(1, Bytes{0x7F, 0x80, 0x00, 0x80}), (Bytes{0x80, 0x3F, 0x00, 0xC0}));
}

// One archive per version and codec with a chunk of every recipe; each chunk is read back from the file.
TEST(WriterChunks, EveryRecipeRebuildsFromTheFileWithTheVersionsDigest) {
  std::mt19937 rng(7);
  auto random_bytes = [&](size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  };
  for (uint16_t version : {4, 5, 7}) {
    for (Codec codec : {Codec::Store, Codec::Zstd, Codec::Lzma2}) {
      SCOPED_TRACE(testing::Message() << "version " << version << " codec " << int(codec));
      ArchiveBuilder b({.version = version, .codec = codec, .block_size = 3000});
      std::vector<Bytes> content;
      std::vector<uint32_t> ids;
      const Bytes base_plain = random_bytes(1024);
      const uint32_t plain = b.put_chunk(base_plain);
      const Bytes base_planes = random_bytes(1024);
      const uint32_t planed = b.put_chunk(base_planes, recipe::Planes4);
      for (uint8_t r = 0; r < 8; ++r) {
        // Deltas alternate between a plain base and a byte-plane one; the content is close to the base.
        uint32_t base = (r & 1) ? planed : plain;
        Bytes c = (r & 4) ? ((r & 1) ? base_planes : base_plain) : random_bytes(1024);
        if (r & 4) c[r * 10] ^= 0x55;
        ids.push_back(b.put_chunk(c, r, base));
        content.push_back(c);
      }
      b.add(b.file_of_chunks("f", ids));
      b.snapshot();
      const StateLayout& st = b.commit();
      const Bytes& file = b.bytes();
      ASSERT_GT(st.blocks, 1u);  // chunks spread over several blocks

      auto block_bytes = [&](uint32_t block) {
        size_t rec = st.map.block_at[block];
        uint64_t raw_len = check::u64_at(st.index, rec + 2), stored_len = check::u64_at(st.index, rec + 10);
        std::span<const uint8_t> stored(file.data() + check::u64_at(st.index, rec + 18), stored_len);
        switch (st.index[rec]) {
          case 0: return Bytes(stored.begin(), stored.end());
          case 1: return check::unzstd(stored, raw_len);
          default: return check::unxz(stored, raw_len);
        }
      };
      const size_t width = version <= 4 ? 16 : 32;
      auto chunk_bytes = [&](uint32_t id) {
        size_t rec = st.map.chunk_at[id];
        Bytes block = block_bytes(check::u32_at(st.index, rec));
        uint32_t offset = check::u32_at(st.index, rec + 4), length = check::u32_at(st.index, rec + 8);
        EXPECT_LE(uint64_t{offset} + length, block.size());
        return Bytes(block.begin() + offset, block.begin() + offset + length);
      };
      auto stored_recipe = [&](uint32_t id) { return st.index[st.map.chunk_at[id] + 12 + width]; };
      for (size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE(i);
        const uint32_t id = ids[i];
        const uint8_t r = stored_recipe(id);
        ASSERT_EQ(r, i);
        Bytes base;
        if (r & 4) {
          uint32_t base_id = check::u32_at(st.index, st.map.chunk_at[id] + 12 + width + 1);
          EXPECT_EQ(base_id, (r & 1) ? planed : plain);
          base = rebuild(stored_recipe(base_id), chunk_bytes(base_id));
        }
        Bytes rebuilt = rebuild(r, chunk_bytes(id), base);
        EXPECT_EQ(rebuilt, content[i]);
        Digest d = digest_of(rebuilt);
        const uint8_t* stored_digest = st.index.data() + st.map.chunk_at[id] + 12;
        EXPECT_TRUE(std::equal(d.begin(), d.begin() + width, stored_digest));
        EXPECT_EQ(b.rebuilt_chunk(id), content[i]);
      }
    }
  }
}

TEST(WriterChunks, LowLevelChunksOverAKnownBlockGetTheRebuiltDigest) {
  ArchiveBuilder b({.version = 7, .codec = Codec::Store});
  const Bytes raw = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t blk = b.add_block(raw);
  uint32_t c0 = b.add_chunk(blk, 0, 8, recipe::Planes2);
  uint32_t c1 = b.add_chunk(blk, 0, 8, recipe::Delta | recipe::Planes4, c0);
  EXPECT_EQ(b.chunk(c0).digest, digest_of(rebuild(2, raw)));
  Bytes delta = rebuild(7, raw, rebuild(2, raw));
  EXPECT_EQ(b.chunk(c1).digest, digest_of(delta));
  // Records that cannot be rebuilt are kept as asked, with no digest.
  uint32_t bad = b.add_chunk(blk, 4, 8);
  EXPECT_EQ(b.chunk(bad).digest, Digest{});
  uint32_t odd = b.add_chunk(blk, 0, 3, recipe::Bf16);
  EXPECT_EQ(b.chunk(odd).digest, Digest{});
}

TEST(WriterChunks, DeduplicatedContentSharesChunks) {
  ArchiveBuilder b({.version = 7, .chunk_size = 4, .dedup = true});
  Entry x = b.file("x", bytes_of("abcdabcdxyz"));
  Entry y = b.file("y", bytes_of("abcd"));
  EXPECT_EQ(x.chunks, (std::vector<uint32_t>{0, 0, 1}));
  EXPECT_EQ(y.chunks, (std::vector<uint32_t>{0}));
  EXPECT_EQ(b.chunk_count(), 2u);
}

}  // namespace
}  // namespace ixo::test
