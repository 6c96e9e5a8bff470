// Model::predict: gathers every component's stretched prediction, mixes, and refines.
#include <algorithm>

#include "model.h"

namespace ixo::cm {
namespace {

// Every cache line of bytes p[0..bytes).
inline void prefetch_span(const void* p, size_t bytes) {
  const char* c = static_cast<const char*>(p);
  for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(c + off);
  __builtin_prefetch(c + bytes - 1);
}

}  // namespace

// With the input layout fixed at compile time every input has a constant index.
template <bool kSecondary>
void Model::predict_with() {
  int32_t* in = mixer.inputs.data();
  const uint32_t c1 = c4 & 0xFFu;
  in[0] = 256;
  t0_ctr = &t0[c0];
  in[1] = stretch_tab[*t0_ctr >> 20];
  t1_ctr = &t1[c0 | (c1 << 8)];
  in[2] = stretch_tab[*t1_ctr >> 20];
  const uint32_t* const slots = ctx_tables.data() + nibble;
  for (int k = 0; k < kContexts; ++k) {
    const uint32_t v = slots[slot_word[k]];
    if constexpr (kSecondary) {
      in[kDirectInputs + 2 * k] = stretch_tab[v >> 20];
      const uint32_t e = secondary_entry(k, v);
      sec_index[k] = e;
      in[kDirectInputs + 2 * k + 1] = stretch_tab[sec_maps[e] >> 20];
    } else {
      in[kDirectInputs + k] = stretch_tab[v >> 20];
    }
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
  mixer.nx = mixer_inputs(kSecondary);

  refine(mixer.mix(static_cast<int>(c0), mixer_selector(bucket1, bucket2) + static_cast<int>(c1)), c1);
  prefetch_next_nibble();
  prefetch_next_bit(image.image_active ? image.image_above : c1);
}

void Model::refine(int pmix, uint32_t c1) {
  const int st = stretch_tab[pmix];
  const int p1 = apm1.refine(st, c0);
  const uint32_t above = image.image_active ? image.image_above : c1;
  const int p2 = apm2.refine(st, c0 | (above << 8));
  // Each of the three is within 1..4095, so their weighted mean is too: no clamp is needed.
  pr = (pmix + p1 + 2 * p2 + 2) >> 2;
}

void Model::prefetch_next_bit(uint32_t above) const {
  // The next bit reads these tables at c0 x 2 or c0 x 2 + 1, in neighbouring places; their rows
  // are fetched now, while the decoder and the update work on this bit. The second APM's table
  // is the largest of them: both rows of the next partial byte, or within the byte that follows,
  // the first row under either value of its last byte (above changes there only for images).
  const uint32_t next_c0 = c0 << 1;
  constexpr size_t kRowBytes = APM::kPoints * sizeof(apm2.table[0]);
  if (bit_count < 7) {
    prefetch_span(&apm2.table[size_t{next_c0 | (above << 8)} * APM::kPoints], 2 * kRowBytes);
    __builtin_prefetch(&t1[next_c0 | ((c4 & 0xFFu) << 8)]);
    if (match1.active && !match1.failed) __builtin_prefetch(&match1.ctr2[next_c0 | match1.ctr2_base]);
    if (match2.active && !match2.failed) __builtin_prefetch(&match2.ctr2[next_c0 | match2.ctr2_base]);
  } else {
    for (const uint32_t c : {next_c0 & 0xFFu, (next_c0 | 1u) & 0xFFu})
      prefetch_span(&apm2.table[size_t{1u | (c << 8)} * APM::kPoints], kRowBytes);
  }
}

template void Model::predict_with<true>();
template void Model::predict_with<false>();

void Model::predict() {
  if (vector_path) {
    if (secondary_enabled) {
      predict_avx2<true>();
    } else {
      predict_avx2<false>();
    }
  } else if (secondary_enabled) {
    predict_with<true>();
  } else {
    predict_with<false>();
  }
}

}  // namespace ixo::cm
