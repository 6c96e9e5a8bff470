#include <gtest/gtest.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace ixo::codec {
namespace {

using Bytes = std::vector<uint8_t>;

// Text-like content that compresses into more than one block when long.
Bytes content(size_t n) {
  Bytes b(n);
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245 + 12345;
    b[i] = static_cast<uint8_t>("abcdefgh  \n"[(x >> 16) % 11]);
  }
  return b;
}

// One frame with its content size and checksum, as the archiver writes it.
Bytes frame(const Bytes& data, int level = 3) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  Bytes out(ZSTD_compressBound(data.size()));
  const size_t n = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
  ZSTD_freeCCtx(cctx);
  EXPECT_FALSE(ZSTD_isError(n)) << ZSTD_getErrorName(n);
  out.resize(n);
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes prefix(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

void expect_error(const Result<Bytes>& r, ErrorKind kind, const std::string& text) {
  ASSERT_FALSE(r.has_value()) << "decoded " << r->size() << " bytes";
  EXPECT_EQ(r.error().kind(), kind);
  EXPECT_EQ(r.error().to_string(), text);
}

TEST(ZstdFrame, DecodesAFrameOfTheExpectedLength) {
  const Bytes data = content(300000);  // several zstd blocks
  auto r = zstd_frame(frame(data), data.size());
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  EXPECT_EQ(*r, data);
}

TEST(ZstdFrame, ShorterFrameIsReturnedWhole) {
  const Bytes data = content(1000);
  auto r = zstd_frame(frame(data), 5000);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  EXPECT_EQ(*r, data);
}

TEST(ZstdFrame, LongerFrameYieldsExpectedPlusOneBytes) {
  const Bytes data = content(1010);
  const Bytes f = frame(data);
  const Bytes first = prefix(data, 1001);
  for (const Bytes& input : {f, concat(f, Bytes{0}), concat(f, f)}) {
    // The length test comes first: bytes after the frame do not matter then.
    auto r = zstd_frame(input, 1000);
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    EXPECT_EQ(*r, first);
  }
}

TEST(ZstdFrame, HugeFrameIsCutAtExpectedPlusOne) {
  // 64 MiB of zeros packs into a few KiB; only 4097 bytes may ever be held.
  const Bytes data(64u << 20, 0);
  const Bytes f = frame(data, 1);
  ASSERT_LT(f.size(), 64u << 10);
  auto r = zstd_frame(f, 4096);
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  EXPECT_EQ(r->size(), 4097u);
  EXPECT_LE(r->capacity(), 1u << 20);
}

TEST(ZstdFrame, BytesAfterTheFrameAreRefused) {
  const Bytes data = content(500);
  const Bytes f = frame(data);
  for (uint64_t expected : {uint64_t{500}, uint64_t{501}, uint64_t{1} << 20}) {
    SCOPED_TRACE(expected);
    expect_error(zstd_frame(concat(f, Bytes{0}), expected), ErrorKind::InvalidData,
                 "unexpected bytes after the zstd frame");
    expect_error(zstd_frame(concat(f, f), expected), ErrorKind::InvalidData,
                 "unexpected bytes after the zstd frame");
  }
}

TEST(ZstdFrame, EmptyOrCutInputIsAnIncompleteFrame) {
  expect_error(zstd_frame({}, 0), ErrorKind::UnexpectedEof, "incomplete frame");
  expect_error(zstd_frame({}, 100), ErrorKind::UnexpectedEof, "incomplete frame");
  const Bytes data = content(200000);
  const Bytes f = frame(data);
  // Every cut before the end: in the header, inside a block, between blocks, in the checksum.
  for (size_t cut = 0; cut < f.size(); cut += (cut < 64 || cut + 64 > f.size()) ? 1 : 97) {
    SCOPED_TRACE(cut);
    expect_error(zstd_frame(prefix(f, cut), data.size()), ErrorKind::UnexpectedEof, "incomplete frame");
  }
}

TEST(ZstdFrame, GarbageIsTheLibrarysError) {
  const std::string text = "this is not a zstd frame at all";
  const Bytes garbage(text.begin(), text.end());
  expect_error(zstd_frame(garbage, 100), ErrorKind::Other, ZSTD_getErrorString(ZSTD_error_prefix_unknown));
}

TEST(ZstdFrame, DamagedContentIsTheLibrarysError) {
  const Bytes data = content(5000);
  Bytes f = frame(data);
  f[f.size() - 1] ^= 0x55;  // the checksum
  auto r = zstd_frame(f, data.size());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Other);
  EXPECT_EQ(r.error().to_string(), ZSTD_getErrorString(ZSTD_error_checksum_wrong));
}

TEST(ZstdFrame, ExpectedZero) {
  auto empty = zstd_frame(frame({}), 0);
  ASSERT_TRUE(empty.has_value()) << empty.error().to_string();
  EXPECT_TRUE(empty->empty());

  auto one = zstd_frame(frame(content(3)), 0);
  ASSERT_TRUE(one.has_value()) << one.error().to_string();
  EXPECT_EQ(one->size(), 1u);
}

TEST(ZstdFrame, FrameWithoutContentSizeDecodes) {
  // A frame need not announce its size; neither the result nor the bound may depend on it.
  const Bytes data = content(70000);
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
  Bytes f(ZSTD_compressBound(data.size()));
  const size_t n = ZSTD_compress2(cctx, f.data(), f.size(), data.data(), data.size());
  ZSTD_freeCCtx(cctx);
  ASSERT_FALSE(ZSTD_isError(n));
  f.resize(n);
  ASSERT_EQ(ZSTD_getFrameContentSize(f.data(), f.size()), ZSTD_CONTENTSIZE_UNKNOWN);

  auto whole = zstd_frame(f, data.size());
  ASSERT_TRUE(whole.has_value()) << whole.error().to_string();
  EXPECT_EQ(*whole, data);
  auto cut = zstd_frame(f, 100);
  ASSERT_TRUE(cut.has_value()) << cut.error().to_string();
  EXPECT_EQ(*cut, prefix(data, 101));
}

}  // namespace
}  // namespace ixo::codec
