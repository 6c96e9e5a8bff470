// AVX2 building blocks of the model's vector path. Each gives exactly the integers of the plain
// code it stands for. The functions carry their own target: this header may be included by any
// file, but they may only run where cpu_has_avx2().
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "counter.h"
#include "logistic.h"
#include "mixer_pair.h"

#define IXO_CM_AVX2 __attribute__((target("avx2,bmi,bmi2")))

namespace ixo::cm::avx2 {

// counter_update of eight counters at once with the same bit, r holding kRecip[n] of each lane's
// count n: tgt holds 0 or 0x3FFFFF in every lane, limit 255 or 1023. The 64-bit product
// kRecip[n] x (tgt - p) >> 16 is split at bit 16 of the difference d = dh x 65536 + dl
// (dl unsigned), which gives the same floor: kRecip[n] x dh + (kRecip[n] x dl) >> 16. kRecip[n]
// and dl both fit 16 unsigned bits, so the second term is the high half of a 16-bit product.
IXO_CM_AVX2 inline __m256i counters_with(__m256i v, __m256i r, __m256i tgt, __m256i limit) {
  const __m256i n = _mm256_and_si256(v, _mm256_set1_epi32(1023));
  const __m256i d = _mm256_sub_epi32(tgt, _mm256_srli_epi32(v, 10));
  const __m256i dh = _mm256_srai_epi32(d, 16);
  const __m256i dl = _mm256_and_si256(d, _mm256_set1_epi32(0xFFFF));
  const __m256i delta = _mm256_add_epi32(_mm256_mullo_epi32(r, dh), _mm256_mulhi_epu16(r, dl));
  // p + delta stays within 22 bits, so adding delta above the count field cannot carry out.
  const __m256i below = _mm256_cmpgt_epi32(limit, n);  // -1 where the count still grows
  return _mm256_sub_epi32(_mm256_add_epi32(v, _mm256_slli_epi32(delta, 10)), below);
}

IXO_CM_AVX2 inline __m256i counters8(__m256i v, __m256i tgt, __m256i limit) {
  const __m256i n = _mm256_and_si256(v, _mm256_set1_epi32(1023));
  return counters_with(v, _mm256_i32gather_epi32(reinterpret_cast<const int*>(kRecip.data()), n, 4), tgt, limit);
}

// counters8 on four lanes: only the table look-up is narrower, which is what costs.
IXO_CM_AVX2 inline __m128i counters4(__m128i v, __m256i tgt, __m256i limit) {
  const __m128i n = _mm_and_si128(v, _mm_set1_epi32(1023));
  const __m128i r = _mm_i32gather_epi32(reinterpret_cast<const int*>(kRecip.data()), n, 4);
  return _mm256_castsi256_si128(counters_with(_mm256_zextsi128_si256(v), _mm256_zextsi128_si256(r), tgt, limit));
}

// fmix of eight hashes.
IXO_CM_AVX2 inline __m256i fmix8(__m256i x) {
  x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 15));
  x = _mm256_mullo_epi32(x, _mm256_set1_epi32(0x2C1B3C6D));
  return _mm256_xor_si256(x, _mm256_srli_epi32(x, 13));
}

// stretch(v >> 20) of eight counters.
IXO_CM_AVX2 inline __m256i stretch8(__m256i v) {
  return _mm256_i32gather_epi32(kStretch32.data(), _mm256_srli_epi32(v, 20), 4);
}

// stretch(v >> 20) of four counters.
IXO_CM_AVX2 inline __m128i stretch4(__m128i v) {
  return _mm_i32gather_epi32(kStretch32.data(), _mm_srli_epi32(v, 20), 4);
}

// Signed 32 x 32 -> 64-bit products of all eight lanes, added to acc.
IXO_CM_AVX2 inline __m256i mul_add8(__m256i acc, __m256i x, __m256i x_odd, __m256i w) {
  acc = _mm256_add_epi64(acc, _mm256_mul_epi32(x, w));
  return _mm256_add_epi64(acc, _mm256_mul_epi32(x_odd, _mm256_srli_epi64(w, 32)));
}

IXO_CM_AVX2 inline __m128i mul_add4(__m128i acc, __m128i x, __m128i w) {
  acc = _mm_add_epi64(acc, _mm_mul_epi32(x, w));
  return _mm_add_epi64(acc, _mm_mul_epi32(_mm_srli_epi64(x, 32), _mm_srli_epi64(w, 32)));
}

// The two dot products of x[0..N) with wa and wb, exact in 64 bits (integer sums do not depend
// on their order).
template <int N>
IXO_CM_AVX2 inline void dot2(const int32_t* x, const int32_t* wa, const int32_t* wb, int64_t& dot_a,
                             int64_t& dot_b) {
  constexpr int kFull = N / 8 * 8;
  constexpr int kRest = N % 8 >= 4 ? kFull + 4 : kFull;
  __m256i acc_a = _mm256_setzero_si256();
  __m256i acc_b = _mm256_setzero_si256();
  for (int i = 0; i < kFull; i += 8) {
    const __m256i xv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i));
    const __m256i x_odd = _mm256_srli_epi64(xv, 32);
    acc_a = mul_add8(acc_a, xv, x_odd, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wa + i)));
    acc_b = mul_add8(acc_b, xv, x_odd, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wb + i)));
  }
  __m128i a = _mm_add_epi64(_mm256_castsi256_si128(acc_a), _mm256_extracti128_si256(acc_a, 1));
  __m128i b = _mm_add_epi64(_mm256_castsi256_si128(acc_b), _mm256_extracti128_si256(acc_b, 1));
  if constexpr (kRest != kFull) {
    const __m128i xv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + kFull));
    a = mul_add4(a, xv, _mm_loadu_si128(reinterpret_cast<const __m128i*>(wa + kFull)));
    b = mul_add4(b, xv, _mm_loadu_si128(reinterpret_cast<const __m128i*>(wb + kFull)));
  }
  int64_t sa = _mm_cvtsi128_si64(a) + _mm_extract_epi64(a, 1);
  int64_t sb = _mm_cvtsi128_si64(b) + _mm_extract_epi64(b, 1);
  for (int i = kRest; i < N; ++i) {
    sa += int64_t{x[i]} * wa[i];
    sb += int64_t{x[i]} * wb[i];
  }
  dot_a = sa;
  dot_b = sb;
}

// w[i] = trained_weight(w[i], x[i], err, limit) for i below N. Inputs are stretched
// probabilities or match strengths and err is at most 3 x 4095, so both fit 16 signed bits:
// with err alone in the low half of each lane, the pairwise 16-bit multiply-add gives x x err.
template <int N>
IXO_CM_AVX2 inline void train(int32_t* w, const int32_t* x, int32_t err, int32_t limit) {
  constexpr int kFull = N / 8 * 8;
  constexpr int kRest = N % 8 >= 4 ? kFull + 4 : kFull;
  const __m256i e = _mm256_set1_epi32(err & 0xFFFF);
  const __m256i hi = _mm256_set1_epi32(limit);
  const __m256i lo = _mm256_set1_epi32(-limit);
  for (int i = 0; i < kFull; i += 8) {
    __m256i* wp = reinterpret_cast<__m256i*>(w + i);
    const __m256i xv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + i));
    const __m256i v = _mm256_add_epi32(_mm256_loadu_si256(wp), _mm256_srai_epi32(_mm256_madd_epi16(xv, e), 12));
    _mm256_storeu_si256(wp, _mm256_max_epi32(lo, _mm256_min_epi32(hi, v)));
  }
  if constexpr (kRest != kFull) {
    __m128i* wp = reinterpret_cast<__m128i*>(w + kFull);
    const __m128i xv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + kFull));
    const __m128i v = _mm_add_epi32(_mm_loadu_si128(wp), _mm_srai_epi32(_mm_madd_epi16(xv, _mm256_castsi256_si128(e)), 12));
    _mm_storeu_si128(wp, _mm_max_epi32(_mm256_castsi256_si128(lo), _mm_min_epi32(_mm256_castsi256_si128(hi), v)));
  }
  for (int i = kRest; i < N; ++i) w[i] = trained_weight(w[i], x[i], err, limit);
}

}  // namespace ixo::cm::avx2
