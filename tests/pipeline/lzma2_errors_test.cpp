// The liblzma results of a decoding call that only crafted streams reach: options the decoder does not
// support, and memory it cannot have.
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>

#include <cstdlib>

#include "fixture.h"
#include "pipeline/lzma2_block.h"

namespace ixo::pack {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes TEXT = fixture::text_like(20000, 5);

void put_crc32(Bytes& b, size_t from) {
  const uint32_t crc = static_cast<uint32_t>(::crc32(0, b.data() + from, static_cast<uInt>(b.size() - from)));
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(crc >> (8 * i)));
}

// A stream header whose flags set a reserved bit, with a correct CRC.
Bytes reserved_stream_flags() {
  Bytes b = {0xFD, '7', 'z', 'X', 'Z', 0x00, 0x01, 0x04};
  put_crc32(b, 6);
  return b;
}

// A sound stream header, then a block header that names filter 0x7F, which does not exist.
Bytes unknown_filter() {
  const Bytes xz = fixture::xz_encode(TEXT);
  Bytes b(xz.begin(), xz.begin() + 12);
  const size_t at = b.size();
  b.insert(b.end(), {0x01, 0x00, 0x7F, 0x00});  // 8 bytes in all, one filter, no properties
  put_crc32(b, at);
  b.insert(b.end(), 20, 0);
  return b;
}

TEST(Lzma2Errors, OptionsTheDecoderDoesNotSupport) {
  for (const Bytes& stored : {reserved_stream_flags(), unknown_filter()}) {
    auto got = decode_lzma2(stored, TEXT.size(), nullptr);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().to_string(), "invalid options");
    EXPECT_EQ(got.error().kind(), ErrorKind::InvalidInput);
  }
}

// Refuses every allocation above 64 KiB: the decoder starts, and the dictionary of the stream's first block
// (1 MiB at the fixture's preset 1) cannot be had.
void* small_only(void*, size_t nmemb, size_t size) {
  if (size != 0 && nmemb > (64 << 10) / size) return nullptr;
  return std::malloc(nmemb * size);
}
void release(void*, void* ptr) { std::free(ptr); }

TEST(Lzma2Errors, MemoryTheDecoderCannotHave) {
  const lzma_allocator allocator{small_only, release, nullptr};
  auto got = decode_lzma2(fixture::xz_encode(TEXT), TEXT.size(), &allocator);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().to_string(), "can't allocate memory");
  EXPECT_EQ(got.error().kind(), ErrorKind::Other);
  auto plain = decode_lzma2(fixture::xz_encode(TEXT), TEXT.size(), nullptr);
  ASSERT_TRUE(plain) << plain.error().to_string();
  EXPECT_EQ(*plain, TEXT);
}

}  // namespace
}  // namespace ixo::pack
