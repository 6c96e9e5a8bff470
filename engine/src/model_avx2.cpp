// The model's per-bit work with AVX2: the counters of the context slots and of their
// secondary maps are read, stretched and updated eight at a time, and the mixer runs over its
// fixed number of inputs. Every value is the one the plain code in model.cpp and prediction.cpp
// computes; only the order of independent steps differs.
#include <algorithm>
#include <array>

#include "avx2_kernels.h"
#include "hash.h"
#include "model.h"

namespace ixo::cm {
namespace {

// Lanes: context k's slot, secondary entry and counters sit in lane k of sixteen, contexts 0 to 7 in an
// eight-lane register and the rest, kUpperContexts of them, in a four-lane one. The bucket search takes the
// hashes eight at a time instead: contexts 0 to 7, then the last eight (both loads stay inside ctx_hash), so that
// there context k >= 8 lands at bucket_lane(k).
constexpr int kLowLanes = 8;
constexpr int kUpperContexts = kContexts - kLowLanes;
static_assert(kUpperContexts >= 1 && kUpperContexts <= 4, "contexts past the eighth take one four-lane register");
static_assert(kContexts <= 16, "the model's lane arrays hold sixteen contexts");
constexpr int kUpperShift = kLowLanes - kUpperContexts;  // the second register starts at context kUpperContexts
constexpr int bucket_lane(int k) { return k < kLowLanes ? k : k + kUpperShift; }

// Secondary map k starts at entry k x kSecondaryEntries; lanes past the last context read map 0 unused.
alignas(32) constexpr std::array<uint32_t, 16> kMapStart = [] {
  std::array<uint32_t, 16> start{};
  for (int k = 0; k < kContexts; ++k) start[static_cast<size_t>(k)] = static_cast<uint32_t>(k) * kSecondaryEntries;
  return start;
}();

IXO_CM_AVX2 inline __m256i load8(const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

IXO_CM_AVX2 inline void store8(uint32_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

IXO_CM_AVX2 inline __m128i load4(const uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

IXO_CM_AVX2 inline void store4(uint32_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// secondary_entry(k, v) for the counters v of eight lanes whose maps start at map_start[0..8).
IXO_CM_AVX2 inline __m256i secondary_entries(__m256i v, const uint32_t* map_start) {
  const __m256i count =
      _mm256_min_epu32(_mm256_and_si256(v, _mm256_set1_epi32(1023)), _mm256_set1_epi32(kSecondaryRows - 1));
  const __m256i row = _mm256_slli_epi32(count, kSecondaryColumnBits);
  return _mm256_add_epi32(_mm256_add_epi32(row, _mm256_srli_epi32(v, 32 - kSecondaryColumnBits)), load8(map_start));
}

// The bucket of each context for partial byte c0: hashes and word indices in ctx_tables, in the
// lanes of the bucket search.
struct BucketLanes {
  __m256i hash_lo, hash_hi, word_lo, word_hi;
};

IXO_CM_AVX2 inline BucketLanes bucket_lanes(const uint32_t* ctx_hash, uint32_t c0, uint32_t ctx_mask) {
  const __m256i partial = _mm256_set1_epi32(static_cast<int>(c0 * kHashA));
  const __m256i g = _mm256_set1_epi32(static_cast<int>(kHashG));
  BucketLanes l;
  l.hash_lo = avx2::fmix8(_mm256_xor_si256(partial, _mm256_mullo_epi32(load8(ctx_hash), g)));
  l.hash_hi = avx2::fmix8(_mm256_xor_si256(partial, _mm256_mullo_epi32(load8(ctx_hash + kUpperContexts), g)));
  const __m256i bucket_mask = _mm256_set1_epi32(static_cast<int>(ctx_mask & ~uint32_t{kBucketWords - 1}));
  const __m256i table_words = _mm256_set1_epi32(static_cast<int>(ctx_mask + 1));
  const __m256i first = _mm256_mullo_epi32(table_words, _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  constexpr int u = kUpperContexts;  // the first context of the second register
  const __m256i second =
      _mm256_mullo_epi32(table_words, _mm256_setr_epi32(u, u + 1, u + 2, u + 3, u + 4, u + 5, u + 6, u + 7));
  l.word_lo = _mm256_add_epi32(first, _mm256_and_si256(l.hash_lo, bucket_mask));
  l.word_hi = _mm256_add_epi32(second, _mm256_and_si256(l.hash_hi, bucket_mask));
  return l;
}

// Both cache lines of every context's bucket.
IXO_CM_AVX2 inline void prefetch_buckets8(const uint32_t* base, __m256i word_lo, __m256i word_hi) {
  alignas(32) uint32_t word[16];
  store8(word, word_lo);
  store8(word + kLowLanes, word_hi);
  for (int k = 0; k < kContexts; ++k) {
    const uint32_t* b = base + word[bucket_lane(k)];
    __builtin_prefetch(b);
    __builtin_prefetch(b + kSlotWords);
  }
}

}  // namespace

template <bool kSecondary>
IXO_CM_AVX2 void Model::predict_avx2() {
  int32_t* in = mixer.inputs.data();
  const uint32_t c1 = c4 & 0xFFu;
  in[0] = 256;
  t0_ctr = &t0[c0];
  in[1] = stretch_tab[*t0_ctr >> 20];
  t1_ctr = &t1[c0 | (c1 << 8)];
  in[2] = stretch_tab[*t1_ctr >> 20];

  // Contexts 0 to 7 in eight lanes, the rest in four; lanes past the last context read word nibble
  // of table 0, harmlessly.
  const int* words = reinterpret_cast<const int*>(ctx_tables.data() + nibble);
  const __m256i v_lo = _mm256_i32gather_epi32(words, load8(slot_word.data()), 4);
  const __m128i v_hi = _mm_i32gather_epi32(words, load4(slot_word.data() + kLowLanes), 4);
  store8(bit_slot_value.data(), v_lo);
  store4(bit_slot_value.data() + kLowLanes, v_hi);
  const __m256i s_lo = avx2::stretch8(v_lo);
  const __m128i s_hi = avx2::stretch4(v_hi);
  if constexpr (kSecondary) {
    const __m256i e_lo_index = secondary_entries(v_lo, kMapStart.data());
    const __m128i e_hi_index =
        _mm256_castsi256_si128(secondary_entries(_mm256_zextsi128_si256(v_hi), kMapStart.data() + kLowLanes));
    const int* maps = reinterpret_cast<const int*>(sec_maps.data());
    const __m256i e_lo = _mm256_i32gather_epi32(maps, e_lo_index, 4);
    const __m128i e_hi = _mm_i32gather_epi32(maps, e_hi_index, 4);
    store8(bit_sec_value.data(), e_lo);
    store4(bit_sec_value.data() + kLowLanes, e_hi);
    store8(sec_index.data(), e_lo_index);
    store4(sec_index.data() + kLowLanes, e_hi_index);
    const __m256i t_lo = avx2::stretch8(e_lo);
    const __m128i t_hi = avx2::stretch4(e_hi);
    // Slot and secondary inputs alternate: s0 t0 s1 t1 ...
    int32_t* const pairs = in + kDirectInputs;
    const __m256i a = _mm256_unpacklo_epi32(s_lo, t_lo);  // s0 t0 s1 t1 | s4 t4 s5 t5
    const __m256i b = _mm256_unpackhi_epi32(s_lo, t_lo);  // s2 t2 s3 t3 | s6 t6 s7 t7
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pairs), _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pairs + 8), _mm256_permute2x128_si256(a, b, 0x31));
    // The pairs of the upper contexts, and not one more: the match inputs follow directly.
    int32_t* const upper = pairs + 2 * kLowLanes;
    const __m128i c = _mm_unpacklo_epi32(s_hi, t_hi);  // s8 t8 s9 t9
    const __m128i d = _mm_unpackhi_epi32(s_hi, t_hi);  // s10 t10 s11 t11
    if constexpr (kUpperContexts >= 2) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(upper), c);
    } else {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(upper), c);
    }
    if constexpr (kUpperContexts == 4) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(upper + 4), d);
    } else if constexpr (kUpperContexts == 3) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(upper + 4), d);
    }
  } else {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(in + kDirectInputs), s_lo);
    // Four lanes: those past the last context land on the first match inputs, written below.
    static_assert(4 - kUpperContexts <= 2 * MatchModel::kInputs);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(in + kDirectInputs + kLowLanes), s_hi);
  }

  constexpr int kMatchAt = match_inputs_at(kSecondary);
  const uint32_t bucket1 = match1.predict_into(c0, bit_count, stretch_tab, in + kMatchAt);
  const uint32_t bucket2 = match2.predict_into(c0, bit_count, stretch_tab, in + kMatchAt + MatchModel::kInputs);
  int32_t* img_in = in + image_inputs_at(kSecondary);
  if (image.image_active) {
    for (int k = 0; k < kImageContexts; ++k) {
      img_ctr[k] = img_slot[k] + nibble;
      img_in[k] = stretch_tab[*img_ctr[k] >> 20];
    }
  } else {
    for (int k = 0; k < kImageContexts; ++k) img_in[k] = 0;
  }
  constexpr int n = mixer_inputs(kSecondary);
  mixer.nx = n;
  mixer.row_a = static_cast<int32_t>(c0);
  mixer.row_b = mixer_selector(bucket1, bucket2) + static_cast<int32_t>(c1);
  int64_t dot_a = 0;
  int64_t dot_b = 0;
  avx2::dot2<n>(in, &mixer.weights_a[static_cast<size_t>(mixer.row_a) * n],
                &mixer.weights_b[static_cast<size_t>(mixer.row_b) * n], dot_a, dot_b);
  refine(mixer.squash_dots(dot_a, dot_b), c1);
  if (bit_count == 3) {
    // The next nibble's buckets (see prefetch_next_nibble).
    const uint32_t values = next_bit_values();
    for (const uint32_t b : {0u, 1u}) {
      if (((values >> b) & 1u) == 0) continue;
      const BucketLanes next = bucket_lanes(ctx_hash.data(), (c0 << 1) | b, ctx_mask);
      prefetch_buckets8(ctx_tables.data(), next.word_lo, next.word_hi);
    }
  } else if (bit_count == 7) {
    prefetch_byte_end(next_bit_values());
  }
  prefetch_next_bit(image.image_active ? image.image_above : c1);
}

template <bool kSecondary>
IXO_CM_AVX2 void Model::update_avx2(int bit) {
  const __m256i target = _mm256_set1_epi32(bit ? 0x3FFFFF : 0);
  alignas(32) uint32_t next[16];
  const __m256i fast = _mm256_set1_epi32(kLimitFast);
  store8(next, avx2::counters8(load8(bit_slot_value.data()), target, fast));
  store4(next + kLowLanes, avx2::counters4(load4(bit_slot_value.data() + kLowLanes), target, fast));
  uint32_t* const slots = ctx_tables.data() + nibble;
  for (int k = 0; k < kContexts; ++k) slots[slot_word[k]] = next[k];
  if constexpr (kSecondary) {
    const __m256i slow = _mm256_set1_epi32(kLimitSlow);
    store8(next, avx2::counters8(load8(bit_sec_value.data()), target, slow));
    store4(next + kLowLanes, avx2::counters4(load4(bit_sec_value.data() + kLowLanes), target, slow));
    for (int k = 0; k < kContexts; ++k) sec_maps[sec_index[k]] = next[k];
  }
  {
    // The direct counters and those of the match models, all of limit 1023; a match model's
    // first counter takes part only when it was used, else its lane works on a scratch word.
    uint32_t scratch = 0;
    uint32_t* const ctr[6] = {t0_ctr,
                              t1_ctr,
                              match1.ctr1_used ? &match1.ctr1[match1.ctr1_index] : &scratch,
                              match1.ctr2_cur,
                              match2.ctr1_used ? &match2.ctr1[match2.ctr1_index] : &scratch,
                              match2.ctr2_cur};
    const __m256i v = _mm256_setr_epi32(static_cast<int>(*ctr[0]), static_cast<int>(*ctr[1]),
                                        static_cast<int>(*ctr[2]), static_cast<int>(*ctr[3]),
                                        static_cast<int>(*ctr[4]), static_cast<int>(*ctr[5]), 0, 0);
    store8(next, avx2::counters8(v, target, _mm256_set1_epi32(kLimitSlow)));
    for (int k = 0; k < 6; ++k) *ctr[k] = next[k];
  }
  if (image.image_active) {
    static_assert(kImageContexts == 5, "one eight-lane update of the five image counters");
    const __m256i v = _mm256_setr_epi32(static_cast<int>(*img_ctr[0]), static_cast<int>(*img_ctr[1]),
                                        static_cast<int>(*img_ctr[2]), static_cast<int>(*img_ctr[3]),
                                        static_cast<int>(*img_ctr[4]), 0, 0, 0);
    store8(next, avx2::counters8(v, target, fast));
    for (int k = 0; k < kImageContexts; ++k) *img_ctr[k] = next[k];
  }

  constexpr int n = mixer_inputs(kSecondary);
  const int32_t* in = mixer.inputs.data();
  const int32_t err_a = mixer.error_a(bit);
  const int32_t err_b = mixer.error_b(bit);
  if (MixerPair::learns(err_a, train_threshold))
    avx2::train<n>(mixer.row_weights_a(n), in, err_a, MixerPair::kWeightLimit);
  if (MixerPair::learns(err_b, train_threshold))
    avx2::train<n>(mixer.row_weights_b(n), in, err_b, MixerPair::kWeightLimit);
  mixer.nx = 0;
  apm1.update(bit);
  apm2.update(bit);

  advance(bit);
  predict_avx2<kSecondary>();
}

IXO_CM_AVX2 void Model::new_nibble_avx2() {
  const BucketLanes lanes = bucket_lanes(ctx_hash.data(), c0, ctx_mask);
  const __m256i h_lo = lanes.hash_lo;
  const __m256i h_hi = lanes.hash_hi;
  const __m256i word_lo = lanes.word_lo;
  const __m256i word_hi = lanes.word_hi;
  uint32_t* const base = ctx_tables.data();
  alignas(32) uint32_t hash[16];
  alignas(32) uint32_t word[16];
  store8(hash, h_lo);
  store8(hash + kLowLanes, h_hi);
  uint32_t* img_buckets[kImageContexts];
  uint32_t img_hashes[kImageContexts];
  const int images = image_buckets(c0 * kHashA, img_buckets, img_hashes);

  // Both tags of every bucket at once: a context takes slot 0 on its tag, else slot 1 on its
  // tag; the rest, usually few, replace a slot one by one below.
  const int* words = reinterpret_cast<const int*>(base);
  const __m256i tag0_lo = _mm256_i32gather_epi32(words, word_lo, 4);
  const __m256i tag0_hi = _mm256_i32gather_epi32(words, word_hi, 4);
  const __m256i tag1_lo = _mm256_i32gather_epi32(words + kSlotWords, word_lo, 4);
  const __m256i tag1_hi = _mm256_i32gather_epi32(words + kSlotWords, word_hi, 4);
  const __m256i hit0_lo = _mm256_cmpeq_epi32(tag0_lo, h_lo);
  const __m256i hit0_hi = _mm256_cmpeq_epi32(tag0_hi, h_hi);
  const __m256i hit1_lo = _mm256_andnot_si256(hit0_lo, _mm256_cmpeq_epi32(tag1_lo, h_lo));
  const __m256i hit1_hi = _mm256_andnot_si256(hit0_hi, _mm256_cmpeq_epi32(tag1_hi, h_hi));
  const __m256i second_slot = _mm256_set1_epi32(kSlotWords);
  store8(slot_word.data(), _mm256_add_epi32(word_lo, _mm256_and_si256(hit1_lo, second_slot)));
  store8(word + kLowLanes, _mm256_add_epi32(word_hi, _mm256_and_si256(hit1_hi, second_slot)));
  for (int k = kLowLanes; k < kContexts; ++k) slot_word[k] = word[k + kUpperShift];
  const uint32_t hit_lo = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(hit0_lo, hit1_lo))));
  const uint32_t hit_hi = static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(hit0_hi, hit1_hi))));
  // Bit k of misses is context k.
  uint32_t misses = (~(hit_lo | ((hit_hi >> kUpperShift) << kLowLanes))) & ((1u << kContexts) - 1);
  const __m256i init = _mm256_set1_epi32(static_cast<int>(kCounterInit));
  while (misses != 0) {
    const int k = __builtin_ctz(misses);
    misses &= misses - 1;
    uint32_t* b = base + slot_word[k];
    // Word 1 is updated at every nibble that uses the slot, so its count measures the use.
    uint32_t* victim = (b[1] & 1023u) > (b[kSlotWords + 1] & 1023u) ? b + kSlotWords : b;
    store8(victim, init);
    store8(victim + 8, init);
    victim[0] = hash[bucket_lane(k)];
    slot_word[k] = static_cast<uint32_t>(victim - base);
  }
  for (int k = 0; k < images; ++k) img_slot[k] = choose_slot(img_buckets[k], img_hashes[k]);
}

template void Model::predict_avx2<true>();
template void Model::predict_avx2<false>();
template void Model::update_avx2<true>(int);
template void Model::update_avx2<false>(int);

}  // namespace ixo::cm
