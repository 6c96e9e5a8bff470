// Archives of every format version and codec, written by the test writer, opened by the reader and verified
// through the pipeline as a test run does: every regular file rebuilt from its chunks and checked whole.
#include <gtest/gtest.h>

#include "fixture.h"
#include "pipeline/chunk.h"
#include "pipeline/pipeline.h"
#include "support/writer/archive_writer.h"
#include "util/blake3.h"

namespace ixo::pack {
namespace {

using test::Codec;

struct Verified {
  uint64_t files = 0;
  uint64_t bytes = 0;
  std::vector<std::string> mismatched;
};

// Every regular file of the newest snapshot, through with_feed and chunk, each hashed whole.
Result<Verified> verify_all(const Archive& archive, uint64_t threads) {
  const format::EntryList list = format::snapshot_files(archive.snapshots, archive.snapshots.size() - 1);
  return with_feed(archive, list, threads, [&](BlockFeed& feed) -> Result<Verified> {
    Verified v;
    for (const format::FileEntry* f : list) {
      if (f->kind != format::Regular) continue;
      ++v.files;
      blake3::Hasher h;
      uint64_t len = 0;
      for (const uint32_t c : f->chunks) {
        auto bytes = chunk(archive, feed, c);
        if (!bytes) return fail(bytes.error());
        h.update(bytes->bytes());
        len += bytes->size();
      }
      v.bytes += len;
      if (len != f->size || h.finalize() != f->digest) v.mismatched.push_back(f->path);
    }
    return v;
  });
}

std::vector<uint8_t> weights_of(size_t n, uint32_t seed) {
  std::vector<uint8_t> out = fixture::pattern(n, seed);
  for (size_t i = 1; i < n; i += 2) out[i] = uint8_t(0x3F + (out[i] & 1));  // bfloat16-like high bytes
  return out;
}

void fill(test::ArchiveBuilder& b, uint16_t version) {
  const auto text = fixture::text_like(300000, version);
  const auto noise = fixture::pattern(200000, version);
  b.add_file("docs/a.txt", text);
  b.add_file("docs/copy-of-a.txt", text);  // the same chunks again, across blocks
  b.add_file("empty", std::vector<uint8_t>{});
  b.add_file("noise.bin", noise);
  b.add_file("small", fixture::bytes({1, 2, 3}));
  if (version >= 4) {
    const std::vector<uint8_t> w = weights_of(8192, 5);
    const uint32_t bf16 = b.put_chunk(w, test::recipe::Bf16);
    const uint32_t planes2 = b.put_chunk(weights_of(4096, 6), test::recipe::Planes2);
    const uint32_t planes4 = b.put_chunk(weights_of(4096, 7), test::recipe::Planes4);
    std::vector<uint8_t> nudged = w;
    for (size_t i = 0; i < nudged.size(); i += 97) nudged[i] ^= 1;
    const uint32_t delta = b.put_chunk(nudged, test::recipe::Delta, bf16);
    const uint32_t delta_planes = b.put_chunk(nudged, test::recipe::Delta | test::recipe::Bf16, bf16);
    b.add(b.file_of_chunks("model.bin", {bf16, planes2, planes4, delta, delta_planes, bf16}));
    b.add(b.file_of_chunks("model-again.bin", {delta, planes4}));
  }
  b.add_file("docs/a-last.txt", text);
}

TEST(EndToEnd, EveryVersionAndCodecVerifiesAtEveryWorkerCount) {
  for (uint16_t version = 1; version <= 7; ++version) {
    for (const Codec codec : {Codec::Store, Codec::Zstd, Codec::Lzma2, Codec::Cm}) {
      test::ArchiveBuilder b({.version = version, .codec = codec, .level = 1, .block_size = 96 << 10,
                              .chunk_size = 16 << 10, .dedup = true});
      fill(b, version);
      b.snapshot(1700000000);
      b.commit();
      fixture::TempDir dir;
      const auto path = dir.path() / "a.ixo";
      ASSERT_TRUE(b.save(path));
      auto archive = Archive::open(path);
      ASSERT_TRUE(archive) << version << ": " << archive.error().to_string();
      for (const uint64_t threads : {1, 2, 5}) {
        auto v = verify_all(*archive, threads);
        ASSERT_TRUE(v) << "v" << version << " codec " << int(codec) << " -j" << threads << ": "
                       << v.error().to_string();
        EXPECT_EQ(v->files, version >= 4 ? 8u : 6u);
        EXPECT_TRUE(v->mismatched.empty()) << "v" << version << " codec " << int(codec) << ": " << v->mismatched[0];
      }
    }
  }
}

TEST(EndToEnd, DamagedBlockEndsTheRunWithItsErrorAtEveryWorkerCount) {
  test::ArchiveBuilder b({.version = 7, .codec = Codec::Zstd, .block_size = 64 << 10, .chunk_size = 16 << 10});
  b.add_file("first", fixture::text_like(200000, 1));
  b.add_file("second", fixture::text_like(200000, 2));
  b.snapshot();
  b.commit();
  // A byte inside the last block's stored data: its frame no longer decodes, or its chunk digest fails.
  const test::BlockRecord& last = b.block(uint32_t(b.block_count() - 1));
  b.flip(last.position + last.stored_len / 2);
  fixture::TempDir dir;
  const auto path = dir.path() / "a.ixo";
  ASSERT_TRUE(b.save(path));
  auto archive = Archive::open(path);
  ASSERT_TRUE(archive) << archive.error().to_string();
  std::string first;
  for (const uint64_t threads : {1, 2, 3, 8, 32}) {
    auto v = verify_all(*archive, threads);
    ASSERT_FALSE(v) << threads;
    if (first.empty()) first = v.error().to_string();
    EXPECT_EQ(v.error().to_string(), first) << threads;
  }
}

}  // namespace
}  // namespace ixo::pack
