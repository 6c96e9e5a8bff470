// The building blocks of the vector path give the integers of the plain code they stand for,
// including at the ends of every range; so do the tables and the rolling hash both paths use.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "avx2_kernels.h"
#include "counter.h"
#include "hash.h"
#include "logistic.h"
#include "match_model.h"
#include "mixer_pair.h"
#include "vector_path.h"

namespace ixo::cm {
namespace {

struct Rng {
  uint64_t s;
  uint32_t next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 32);
  }
};

// Array-in, array-out wrappers, so that no vector type crosses into code built without AVX2.
// Eight counters through the eight-lane kernel into out8, and through the four-lane one, four
// at a time, into out4.
IXO_CM_AVX2 void counters(const uint32_t* in, int bit, uint32_t limit, uint32_t* out8, uint32_t* out4) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
  const __m256i tgt = _mm256_set1_epi32(bit ? 0x3FFFFF : 0);
  const __m256i lim = _mm256_set1_epi32(static_cast<int>(limit));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out8), avx2::counters8(v, tgt, lim));
  for (int half = 0; half < 2; ++half) {
    const __m128i v4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * half));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out4 + 4 * half),
                     avx2::counters4(v4, tgt, lim));
  }
}

IXO_CM_AVX2 void fmix_all(const uint32_t* in, uint32_t* out) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      avx2::fmix8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in))));
}

template <int N>
IXO_CM_AVX2 void dot2(const int32_t* x, const int32_t* wa, const int32_t* wb, int64_t& a, int64_t& b) {
  avx2::dot2<N>(x, wa, wb, a, b);
}

template <int N>
IXO_CM_AVX2 void train(int32_t* w, const int32_t* x, int32_t err) {
  avx2::train<N>(w, x, err, MixerPair::kWeightLimit);
}

class VectorKernels : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2 here";
  }
};

TEST_F(VectorKernels, CountersUpdateLikeThePlainCode) {
  // Every count, probabilities at both ends and in between, both bits, both limits.
  std::vector<uint32_t> probs = {0, 1, 2, 65535, 65536, 1u << 21, 0x3FFFFE, 0x3FFFFF};
  Rng rng{3};
  for (int i = 0; i < 24; ++i) probs.push_back(rng.next() >> 10);
  for (const uint32_t limit : {kLimitFast, kLimitSlow}) {
    for (const int bit : {0, 1}) {
      for (const uint32_t p : probs) {
        for (uint32_t n0 = 0; n0 < 1024; n0 += 8) {
          uint32_t in[8];
          uint32_t out8[8];
          uint32_t out4[8];
          for (uint32_t j = 0; j < 8; ++j) in[j] = (p << 10) | (n0 + j);
          counters(in, bit, limit, out8, out4);
          for (uint32_t j = 0; j < 8; ++j) {
            uint32_t want = in[j];
            counter_update(want, bit, limit);
            ASSERT_EQ(out8[j], want) << "p " << p << " n " << n0 + j << " bit " << bit << " limit " << limit;
            ASSERT_EQ(out4[j], want) << "four lanes: p " << p << " n " << n0 + j << " bit " << bit << " limit " << limit;
          }
        }
      }
    }
  }
}

TEST_F(VectorKernels, SlotHashesLikeThePlainCode) {
  Rng rng{11};
  for (int i = 0; i < 1000; ++i) {
    uint32_t in[8];
    uint32_t out[8];
    for (uint32_t& v : in) v = rng.next();
    in[0] = 0;
    in[1] = 0xFFFFFFFFu;
    fmix_all(in, out);
    for (int j = 0; j < 8; ++j) ASSERT_EQ(out[j], fmix(in[j]));
  }
}

template <int N>
void check_mixer(Rng& rng) {
  // Inputs and weights at their extremes as well as anywhere in their ranges.
  auto pick = [&](int32_t bound) -> int32_t {
    switch (rng.next() % 4) {
      case 0: return bound;
      case 1: return -bound;
      default: return static_cast<int32_t>(rng.next() % (2 * static_cast<uint32_t>(bound) + 1)) - bound;
    }
  };
  for (int round = 0; round < 2000; ++round) {
    int32_t x[N];
    int32_t wa[N];
    int32_t wb[N];
    for (int i = 0; i < N; ++i) {
      x[i] = pick(2047);
      wa[i] = pick(MixerPair::kWeightLimit);
      wb[i] = pick(MixerPair::kWeightLimit);
    }
    int64_t want_a = 0;
    int64_t want_b = 0;
    for (int i = 0; i < N; ++i) {
      want_a += int64_t{x[i]} * wa[i];
      want_b += int64_t{x[i]} * wb[i];
    }
    int64_t a = 0;
    int64_t b = 0;
    dot2<N>(x, wa, wb, a, b);
    ASSERT_EQ(a, want_a);
    ASSERT_EQ(b, want_b);

    // The plain training step of MixerPair on a copy of the same row, with an error of
    // 3 x e (the learning rate is 3) up to the largest one.
    const int32_t e = pick(4095);
    MixerPair plain(N);
    std::copy(x, x + N, plain.inputs.data());
    std::copy(wa, wa + N, plain.weights_a.data());
    plain.mix(0, 0);
    plain.pr_a = 4096 - e;
    plain.train(1, -1);
    train<N>(wa, x, 3 * e);
    for (int i = 0; i < N; ++i) ASSERT_EQ(wa[i], plain.weights_a[i]) << "input " << i << " error " << 3 * e;
  }
}

TEST_F(VectorKernels, MixerSumsAndTrainingLikeThePlainCode) {
  Rng rng{5};
  check_mixer<36>(rng);
  check_mixer<25>(rng);
}

TEST(SharedTables, SquashTableHoldsEverySquash) {
  for (int d = -2047; d <= 2047; ++d) ASSERT_EQ(squash_lookup(d), squash(d)) << "d=" << d;
}

TEST(SharedTables, RollingLongMatchHashEqualsTheFullOne) {
  Rng rng{17};
  std::vector<uint8_t> history(3000);
  // Runs of equal bytes as well as noise.
  for (size_t i = 0; i < history.size(); ++i) history[i] = (i / 100) % 2 ? 0xFF : static_cast<uint8_t>(rng.next());
  RollingMatch2Hash rolling;
  for (uint64_t pos = 1; pos <= history.size(); ++pos)
    ASSERT_EQ(rolling.push(history.data(), pos), match2_hash(history.data(), pos)) << "pos " << pos;
}

// The look-ahead that prefetches the long match model's entry: the hash of either next byte,
// with the sum left as it was.
TEST(SharedTables, RollingLongMatchHashLooksAheadWithoutMoving) {
  Rng rng{23};
  std::vector<uint8_t> history(400);
  for (auto& b : history) b = static_cast<uint8_t>(rng.next());
  RollingMatch2Hash rolling;
  std::vector<uint8_t> other = history;
  for (uint64_t pos = 0; pos < history.size(); ++pos) {
    for (const uint8_t c : {history[pos], static_cast<uint8_t>(history[pos] ^ 0x5A)}) {
      other[pos] = c;
      ASSERT_EQ(rolling.peek(history.data(), pos, c), match2_hash(other.data(), pos + 1)) << "pos " << pos;
    }
    other[pos] = history[pos];
    ASSERT_EQ(rolling.push(history.data(), pos + 1), match2_hash(history.data(), pos + 1)) << "pos " << pos;
  }
}

}  // namespace
}  // namespace ixo::cm
