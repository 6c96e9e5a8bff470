// Block payloads as written: one zstd frame, one .xz stream, a stored-mode IXCM stream, or the caller's cm bytes.
#include <gtest/gtest.h>

#include "ixo_cm.h"
#include "support/writer/archive_writer.h"
#include "writer/file_check.h"

namespace ixo::test {
namespace {

Bytes sample(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7) ^ (i >> 5));
  return b;
}

TEST(WriterCodecs, PayloadsDecodeToTheirBlockWithLibrariesAndEngine) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{100000}}) {
    SCOPED_TRACE(n);
    const Bytes data = sample(n);
    Bytes frame = zstd_frame(data);
    EXPECT_EQ(ZSTD_findFrameCompressedSize(frame.data(), frame.size()), frame.size());  // exactly one frame
    EXPECT_EQ(check::unzstd(frame, n), data);
    EXPECT_EQ(check::unxz(xz_stream(data), n), data);  // the whole input is one stream

    Bytes cm = cm_stored_stream(data);
    ASSERT_EQ(cm.size(), 20 + n);
    EXPECT_EQ(std::string(cm.begin(), cm.begin() + 4), "IXCM");
    EXPECT_EQ(check::u64_at(cm, 8), n);
    EXPECT_EQ(check::u32_at(cm, 16), crc32(data));
    Bytes out(n);
    size_t out_len = 0;
    EXPECT_EQ(ixo_cm_decompress(cm.data(), cm.size(), out.data(), out.size(), &out_len), IXO_CM_OK);
    EXPECT_EQ(out_len, n);
    EXPECT_EQ(out, data);
  }
  EXPECT_EQ(crc32(bytes_of("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32({}), 0u);
}

TEST(WriterCodecs, BlocksCarryTheirCodecAndTheCallersCmBytes) {
  int calls = 0;
  ArchiveBuilder b({.version = 7,
                    .cm_encoder = [&](std::span<const uint8_t> raw) {
                      ++calls;
                      Bytes s = cm_stored_stream(raw);
                      s.push_back(0xEE);  // a stored-mode payload may run past its length
                      return s;
                    }});
  const Bytes data = sample(5000);
  for (Codec c : {Codec::Store, Codec::Zstd, Codec::Lzma2, Codec::Cm}) b.add_block(data, c);
  const Bytes given = {1, 2, 3};
  uint32_t pre = b.add_encoded_block(Codec::Cm, data, given);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(b.block(3).stored_len, 20 + data.size() + 1);
  EXPECT_EQ(b.block(pre).stored_len, 3u);
  EXPECT_EQ(b.block(pre).raw_len, data.size());
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(b.block(i).codec, i < 4 ? i : 3);
    EXPECT_EQ(b.block(i).raw_len, data.size());
  }
  EXPECT_EQ(b.block(0).stored_len, data.size());
  EXPECT_TRUE(std::equal(given.begin(), given.end(), b.bytes().begin() + b.block(pre).position));
  // The bytes of a pre-encoded block still give chunk digests.
  uint32_t c = b.add_chunk(pre, 10, 20);
  EXPECT_EQ(b.chunk(c).digest, digest_of(std::span(data).subspan(10, 20)));

  BlockRecord rec{.codec = 9, .aux = 5, .raw_len = 1, .stored_len = 2, .position = 3};
  uint32_t raw = b.add_raw_block(Bytes{0xAB}, rec);
  EXPECT_EQ(b.block(raw).codec, 9);
  EXPECT_EQ(b.block(raw).position, 3u);
  EXPECT_EQ(b.bytes().back(), 0xAB);
}

TEST(WriterCodecs, OpenBlockFillsToItsSizeAndIsWrittenBeforeAnyOtherBlock) {
  ArchiveBuilder b({.version = 7, .codec = Codec::Store, .block_size = 10, .chunk_size = 4});
  std::vector<uint32_t> ids = b.put(bytes_of("0123456789abcdef"));  // chunks of 4, 4, 4, 4
  EXPECT_EQ(ids.size(), 4u);
  EXPECT_EQ(b.block_count(), 1u);  // 8 bytes, then a chunk that would pass 10 bytes
  EXPECT_EQ(b.chunk(ids[2]).block, 1u);
  EXPECT_EQ(b.chunk(ids[2]).offset, 0u);
  b.add_block(bytes_of("zz"));  // writes the open block first
  EXPECT_EQ(b.block_count(), 3u);
  EXPECT_EQ(b.block(1).raw_len, 8u);
  EXPECT_EQ(b.block(2).raw_len, 2u);
  // A chunk larger than a block gets a block of its own.
  uint32_t big = b.put_chunk(Bytes(25, 1));
  EXPECT_EQ(b.chunk(big).block, 3u);
  EXPECT_EQ(b.block_count(), 4u);
  EXPECT_EQ(b.block(3).raw_len, 25u);
}

}  // namespace
}  // namespace ixo::test
