// Reused block buffers: the pool's choice and bound, and decoders that write over a used buffer without clearing
// it, giving exactly what a fresh buffer gives.
#include <gtest/gtest.h>

#include "codec/codec.h"
#include "fixture.h"
#include "pipeline/block_decode.h"
#include "pipeline/block_pool.h"

namespace ixo::pack {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes with_capacity(size_t n, uint8_t fill) {
  Bytes b;
  b.reserve(n);
  b.assign(n / 2, fill);
  return b;
}

TEST(BlockPool, SmallestFitFirstAndNeverMoreBuffersThanWereInUse) {
  BlockPool pool(3, 100);
  pool.give(with_capacity(1000, 1));
  pool.give(with_capacity(100, 2));
  pool.give(with_capacity(5000, 3));
  pool.give(with_capacity(7000, 4));  // beyond what it keeps: freed
  EXPECT_EQ(pool.kept(), 3u);

  Bytes a = pool.take(500);
  EXPECT_GE(a.capacity(), 1000u);
  EXPECT_LT(a.capacity(), 5000u) << "not the smallest that fits";
  EXPECT_EQ(a.size(), 500u) << "its old bytes are kept as room";
  EXPECT_EQ(a[0], 1);
  // None fits: the largest makes way for a new one, so the count stays.
  Bytes b = pool.take(10000);
  EXPECT_GE(b.capacity(), 10000u);
  EXPECT_EQ(pool.kept(), 1u);
  Bytes c = pool.take(50);
  EXPECT_GE(c.capacity(), 100u);
  EXPECT_EQ(pool.kept(), 0u);
  Bytes d = pool.take(10);
  EXPECT_GE(d.capacity(), 10u);
  pool.give(Bytes());  // nothing to keep
  EXPECT_EQ(pool.kept(), 0u);
}

TEST(BlockPool, KeepsNothingThatNoLaterBlockTakes) {
  BlockPool pool(4, 3);
  for (int i = 0; i < 4; ++i) pool.give(with_capacity(100, 1));
  EXPECT_EQ(pool.kept(), 3u);
  Bytes a = pool.take(10);  // two takes left
  EXPECT_EQ(pool.kept(), 2u);
  Bytes b = pool.take(10);
  Bytes c = pool.take(10);  // the last
  EXPECT_EQ(pool.kept(), 0u);
  pool.give(std::move(a));
  EXPECT_EQ(pool.kept(), 0u) << "kept after the last block took its buffer";
}

struct Input {
  const char* name;
  format::BlockInfo info;
  Bytes stored;
};

TEST(DecodeBlockInto, AUsedBufferGivesWhatAFreshOneGives) {
  const Bytes text = fixture::text_like(700000, 3);
  const Bytes zst = fixture::zstd_encode(text);
  const Bytes xz = fixture::xz_encode(text);
  const Bytes cm = fixture::cm_stored(text);
  const uint64_t n = text.size();
  auto info = [](uint8_t codec, uint64_t stored, uint64_t raw) {
    format::BlockInfo i;
    i.codec = codec;
    i.stored_len = stored;
    i.raw_len = raw;
    return i;
  };
  Bytes zst_then = zst;
  zst_then.push_back(0);
  const Input inputs[] = {
      {"store", info(0, n, n), text},
      {"zstd", info(1, zst.size(), n), zst},
      {"zstd longer than its block", info(1, zst.size(), n - 5), zst},
      {"zstd shorter than its block", info(1, zst.size(), n + 5), zst},
      {"zstd then a byte", info(1, zst_then.size(), n), zst_then},
      {"zstd cut", info(1, zst.size() - 3, n), Bytes(zst.begin(), zst.end() - 3)},
      {"xz", info(2, xz.size(), n), xz},
      {"xz longer than its block", info(2, xz.size(), n - 5), xz},
      {"xz cut", info(2, xz.size() - 30, n), Bytes(xz.begin(), xz.end() - 30)},
      {"cm", info(3, cm.size(), n), cm},
      {"empty zstd", info(1, 0, 0), fixture::zstd_encode({})},
  };
  // Used buffers of every shape: empty, short, exactly the block, longer, and room without size.
  const std::vector<Bytes> used = {Bytes(), Bytes(100, 0xEE), Bytes(n, 0xEE), Bytes(n + 1, 0xEE),
                                   Bytes(3 * n, 0xEE), with_capacity(2 * n, 0xEE)};
  for (const Input& in : inputs) {
    const Result<Bytes> fresh = decode_block(in.info, in.stored);
    for (size_t u = 0; u < used.size(); ++u) {
      Bytes out = used[u];
      const Status got = decode_block_into(in.info, in.stored, out);
      ASSERT_EQ(got.has_value(), fresh.has_value()) << in.name << " buffer " << u;
      if (fresh) {
        EXPECT_TRUE(out == *fresh) << in.name << " buffer " << u;
      } else {
        EXPECT_EQ(got.error().to_string(), fresh.error().to_string()) << in.name << " buffer " << u;
      }
    }
  }
}

}  // namespace
}  // namespace ixo::pack
