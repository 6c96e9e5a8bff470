#include <gtest/gtest.h>

#include "codec/codec.h"
#include "fixture.h"
#include "pipeline/block_decode.h"

namespace ixo::pack {
namespace {

using Bytes = std::vector<uint8_t>;

Result<Bytes> decode(uint8_t codec, const Bytes& stored, uint64_t raw_len) {
  format::BlockInfo info;
  info.codec = codec;
  info.raw_len = raw_len;
  info.stored_len = stored.size();
  return decode_block(info, stored);
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes TEXT = fixture::text_like(300000, 1);

TEST(DecodeBlock, EveryCodecDecodesItsOwnBlock) {
  for (const uint8_t codec : {0, 1, 2, 3}) {
    const Bytes stored = codec == 0   ? TEXT
                   : codec == 1 ? fixture::zstd_encode(TEXT)
                   : codec == 2 ? fixture::xz_encode(TEXT)
                                : fixture::cm_stored(TEXT);
    auto got = decode(codec, stored, TEXT.size());
    ASSERT_TRUE(got) << int(codec) << ": " << got.error().to_string();
    EXPECT_EQ(*got, TEXT) << int(codec);
  }
}

TEST(DecodeBlock, EmptyBlocksOfEveryCodec) {
  const Bytes none;
  const Bytes stored[] = {none, fixture::zstd_encode(none), fixture::xz_encode(none), fixture::cm_stored(none)};
  for (uint8_t codec = 0; codec < 4; ++codec) {
    auto got = decode(codec, stored[codec], 0);
    ASSERT_TRUE(got) << int(codec) << ": " << got.error().to_string();
    EXPECT_TRUE(got->empty());
  }
}

struct Case {
  const char* name;
  uint8_t codec;
  Bytes stored;
  uint64_t raw_len;
  std::string error;
  ErrorKind kind;
};

TEST(DecodeBlock, DamagedBlocks) {
  const Bytes zst = fixture::zstd_encode(TEXT);
  const Bytes xz = fixture::xz_encode(TEXT);
  Bytes xz_flipped = xz;
  xz_flipped[xz.size() / 2] ^= 0x55;
  Bytes cm_bad_crc = fixture::cm_stored(TEXT);
  cm_bad_crc[16] ^= 1;
  Bytes cm_bad_magic = fixture::cm_stored(TEXT);
  cm_bad_magic[0] = 'X';
  Bytes cm_short_payload = fixture::cm_stored(TEXT);
  cm_short_payload.pop_back();
  const uint64_t n = TEXT.size();
  const ErrorKind D = ErrorKind::InvalidData;
  const Case cases[] = {
      {"store longer", 0, TEXT, n - 1, "block decoded to the wrong size", D},
      {"store shorter", 0, TEXT, n + 1, "block decoded to the wrong size", D},
      {"zstd decodes further", 1, zst, n - 1, "block decoded to the wrong size", D},
      // The length test comes before the test for trailing bytes.
      {"zstd further, then bytes", 1, concat(zst, {0}), n - 10, "block decoded to the wrong size", D},
      {"zstd shorter", 1, zst, n + 1, "block decoded to the wrong size", D},
      {"zstd then a byte", 1, concat(zst, {0}), n, "unexpected bytes after the zstd frame", D},
      {"zstd cut", 1, Bytes(zst.begin(), zst.end() - 3), n, "incomplete frame", ErrorKind::UnexpectedEof},
      {"xz decodes further", 2, xz, n - 1, "block decoded to the wrong size", D},
      {"xz shorter", 2, xz, n + 1, "block decoded to the wrong size", D},
      // A block holds exactly one stream: whatever follows it is damage.
      {"xz then a byte", 2, concat(xz, {0}), n, "corrupt xz stream", D},
      {"xz then a stream", 2, concat(xz, fixture::xz_encode(Bytes(10, 1))), n, "corrupt xz stream", D},
      {"xz cut", 2, Bytes(xz.begin(), xz.end() - 30), n, "premature eof", ErrorKind::UnexpectedEof},
      {"xz empty", 2, {}, 0, "premature eof", ErrorKind::UnexpectedEof},
      {"xz damaged", 2, xz_flipped, n, "lzma data error", D},
      {"not xz", 2, TEXT, n, "stream/file format not recognized", D},
      {"cm other size", 3, fixture::cm_stored(TEXT), n - 1, "engine stream has an unexpected size", D},
      {"cm bad magic", 3, cm_bad_magic, n, "not a valid engine stream", D},
      {"cm empty", 3, {}, 0, "not a valid engine stream", D},
      {"cm bad crc", 3, cm_bad_crc, n, "engine stream is corrupt (checksum mismatch)", D},
      {"cm short payload", 3, cm_short_payload, n, "engine stream is corrupt (checksum mismatch)", D},
  };
  for (const Case& c : cases) {
    auto got = decode(c.codec, c.stored, c.raw_len);
    ASSERT_FALSE(got) << c.name;
    EXPECT_EQ(got.error().to_string(), c.error) << c.name;
    EXPECT_EQ(got.error().kind(), c.kind) << c.name;
  }
}

TEST(DecodeBlock, XzThatGoesOnPastTheBlockStopsOneBytePastIt) {
  const Bytes big(8 << 20, 'x');
  auto got = decode_lzma2(fixture::xz_encode(big), 1000);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 1001u);
}

TEST(DecodeBlock, EveryCodecAboveTwoGoesToTheEngine) {
  auto got = decode(9, fixture::cm_stored(TEXT), TEXT.size());
  ASSERT_TRUE(got) << got.error().to_string();
  EXPECT_EQ(*got, TEXT);
}

}  // namespace
}  // namespace ixo::pack
