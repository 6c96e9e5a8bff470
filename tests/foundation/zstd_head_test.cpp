// What the headers of a zstd frame tell before the frame is read whole: the recovery search rules out a
// candidate index by them, so they must never rule out a frame that decodes.
#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace ixo::codec {
namespace {

using Bytes = std::vector<uint8_t>;

struct Params {
  int level = 3;
  bool checksum = true;
  bool content_size = true;
};

// One frame of data; without a content size it is made as a stream of unknown length.
Bytes frame(const Bytes& data, const Params& p) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, p.level);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, p.checksum ? 1 : 0);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, p.content_size ? 1 : 0);
  Bytes out(ZSTD_compressBound(data.size()) + 64);
  ZSTD_outBuffer ob{out.data(), out.size(), 0};
  ZSTD_inBuffer ib{data.data(), data.size(), 0};
  if (p.content_size) ZSTD_CCtx_setPledgedSrcSize(cctx, data.size());
  size_t left = 0;
  do {
    left = ZSTD_compressStream2(cctx, &ob, &ib, ZSTD_e_end);
    EXPECT_FALSE(ZSTD_isError(left)) << ZSTD_getErrorName(left);
  } while (left != 0 && !ZSTD_isError(left));
  ZSTD_freeCCtx(cctx);
  out.resize(ob.pos);
  return out;
}

std::optional<uint64_t> span_of(const Bytes& stretch, uint64_t limit) {
  return zstd_frame_span(limit, [&](uint64_t at, std::span<uint8_t> out) {
    if (at + out.size() > stretch.size()) return false;
    std::copy_n(stretch.begin() + static_cast<ptrdiff_t>(at), out.size(), out.begin());
    return true;
  });
}

Bytes contents(const std::string& kind, size_t n) {
  std::mt19937 gen(static_cast<uint32_t>(n));
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    if (kind == "noise") b[i] = static_cast<uint8_t>(gen());
    else if (kind == "runs") b[i] = static_cast<uint8_t>(i / 300000);
    else b[i] = static_cast<uint8_t>("abcdefgh  \n"[gen() % 11]);
  }
  return b;
}

// Frames of every block type (compressed, raw for noise, one repeated byte for long runs), with and without
// checksum and content size, empty to several blocks long: the headers give each frame's exact length, the
// content size check agrees with the length it decodes to, and a longer or shorter stretch is ruled out.
TEST(ZstdHead, RealFramesSpanExactlyTheirLength) {
  const Params params[] = {{}, {.level = 1, .checksum = false}, {.level = 9, .content_size = false},
                           {.level = -5, .checksum = false, .content_size = false}};
  for (const std::string kind : {"text", "noise", "runs"}) {
    for (const size_t n : {size_t{0}, size_t{1}, size_t{200}, size_t{131072}, size_t{131073}, size_t{1} << 20}) {
      for (const Params& p : params) {
        SCOPED_TRACE(kind + " " + std::to_string(n) + " level " + std::to_string(p.level));
        const Bytes data = contents(kind, n);
        const Bytes f = frame(data, p);
        auto decoded = zstd_frame(f, n);
        ASSERT_TRUE(decoded.has_value());
        ASSERT_EQ(*decoded, data);
        EXPECT_EQ(span_of(f, f.size()), f.size());
        Bytes longer = f;
        longer.insert(longer.end(), 50, 0);
        EXPECT_EQ(span_of(longer, longer.size()), f.size()) << "the frame ends before the stretch";
        EXPECT_EQ(span_of(f, f.size() - 1), NO_FRAME_FITS) << "the frame runs past the stretch";
        const std::span<const uint8_t> head = std::span(f).first(std::min<size_t>(f.size(), ZSTD_HEAD_BYTES));
        EXPECT_TRUE(zstd_frame_may_give(head, n));
        EXPECT_EQ(zstd_frame_may_give(head, n + 1), !p.content_size);
      }
    }
  }
}

TEST(ZstdHead, WhatTheHeadersCannotTell) {
  const Bytes f = frame(contents("text", 1000), {});
  // Not a current frame: a skippable frame, and bytes that are no frame.
  Bytes skippable = {0x50, 0x2A, 0x4D, 0x18, 4, 0, 0, 0, 1, 2, 3, 4};
  EXPECT_EQ(span_of(skippable, skippable.size()), std::nullopt);
  EXPECT_TRUE(zstd_frame_may_give(skippable, 0));
  EXPECT_FALSE(zstd_frame_may_give(Bytes{1, 2, 3, 4, 5, 6}, 0));
  EXPECT_FALSE(zstd_frame_may_give(std::span(f).first(3), 1000)) << "shorter than a magic number";
  // Bytes that cannot be read.
  EXPECT_EQ(zstd_frame_span(f.size(), [](uint64_t, std::span<uint8_t>) { return false; }), std::nullopt);
  // A block of the reserved type: the decoder refuses the frame whatever its length.
  Bytes reserved = {0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x50, 0x07, 0x00, 0x00};
  EXPECT_EQ(span_of(reserved, reserved.size()), NO_FRAME_FITS);
  EXPECT_FALSE(zstd_frame(reserved, 0).has_value());
}

}  // namespace
}  // namespace ixo::codec
