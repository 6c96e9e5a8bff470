#include "model.h"

#include "counter.h"
#include "hash.h"
#include "logistic.h"
#include "vector_path.h"

namespace ixo::cm {
namespace {

constexpr uint32_t kMatch1Len = 6;
constexpr uint32_t kMatch2Len = 24;

}  // namespace

uint32_t* choose_slot(uint32_t* bucket, uint32_t h) {
  if (bucket[0] == h) return bucket;
  if (bucket[kSlotWords] == h) return bucket + kSlotWords;
  // Word 1 is updated at every nibble that uses the slot, so its count measures the use.
  uint32_t* s = (bucket[1] & 1023u) > (bucket[kSlotWords + 1] & 1023u) ? bucket + kSlotWords : bucket;
  s[0] = h;
  for (int i = 1; i < kSlotWords; ++i) s[i] = kCounterInit;
  return s;
}

void word_step(uint32_t c, uint32_t& word, uint32_t& prev_word) {
  const bool upper = c >= 0x41 && c <= 0x5A;
  const bool letter = upper || (c >= 0x61 && c <= 0x7A) || c >= 0x80;
  if (letter) {
    word = (word ^ (upper ? c + 32 : c)) * 16777619u;
  } else if (word != 0) {
    prev_word = word;
    word = 0;
  }
}

Model::Model(int level, size_t n, int profile)
    : ctx_mask((uint32_t{1} << (16 + level)) - 1),
      img_mask((uint32_t{1} << (15 + level)) - 1),
      image_enabled(profile > 1),
      secondary_enabled(profile < 3),
      vector_path(vector_path_enabled()),
      train_threshold(profile == 3 ? 96 : -1),
      stretch_tab(stretch_table()),
      history(n > 1 ? n : 1, 0),
      t0(256, kCounterInit),
      t1(65536, kCounterInit),
      ctx_tables(size_t{kContexts} << (16 + level), kCounterInit),
      sec_maps(secondary_enabled ? size_t{kContexts} * kSecondaryEntries : 0, 0),
      img_tables(image_enabled ? size_t{kImageContexts} << (15 + level) : 0, kCounterInit),
      match1(match_bits(level), kMatch1Len),
      match2(match_bits(level), kMatch2Len),
      mixer(mixer_inputs(secondary_enabled)),
      apm1(256),
      apm2(65536) {
  // Column k starts at the centre of the probabilities of the counters it serves.
  constexpr uint32_t kColumns = uint32_t{1} << kSecondaryColumnBits;
  for (size_t i = 0; i < sec_maps.size(); ++i)
    sec_maps[i] = (2 * (static_cast<uint32_t>(i) & (kColumns - 1)) + 1) << (31 - kSecondaryColumnBits);
  new_nibble();
  predict();
}

uint64_t Model::memory_bytes(int level, uint64_t n, int profile) {
  const bool image = profile > 1;
  const bool secondary = profile < 3;
  const uint64_t inputs = mixer_inputs(secondary);
  uint64_t bytes = n > 1 ? n : 1;
  bytes += uint64_t{kContexts} * 4 << (16 + level);
  if (image) bytes += uint64_t{kImageContexts} * 4 << (15 + level);
  if (secondary) bytes += uint64_t{kContexts} * kSecondaryEntries * 4;
  bytes += 2 * MatchModel::memory_bytes(match_bits(level));
  bytes += (256 + 65536) * 4;
  bytes += (uint64_t{MixerPair::kRowsA + MixerPair::kRowsB} * inputs + inputs) * 4;
  bytes += (256 + 65536) * uint64_t{APM::kPoints} * 4;
  return bytes;
}

void Model::new_nibble() {
  nibble = 1;
  if (vector_path) {
    new_nibble_avx2();
    return;
  }
  // All bucket addresses first, with both cache lines prefetched, so the lookups overlap.
  uint32_t* buckets[kContexts + kImageContexts];
  uint32_t hashes[kContexts + kImageContexts];
  int count = 0;
  const uint32_t partial = c0 * kHashA;
  const size_t ctx_words = size_t{ctx_mask} + 1;
  for (int k = 0; k < kContexts; ++k) {
    const uint32_t h = fmix(partial ^ (ctx_hash[k] * kHashG));
    uint32_t* b = ctx_tables.data() + k * ctx_words + (h & ctx_mask & ~uint32_t{kBucketWords - 1});
    __builtin_prefetch(b);
    __builtin_prefetch(b + kSlotWords);
    buckets[count] = b;
    hashes[count++] = h;
  }
  count += image_buckets(partial, buckets + count, hashes + count);
  for (int k = 0; k < kContexts; ++k)
    slot_word[k] = static_cast<uint32_t>(choose_slot(buckets[k], hashes[k]) - ctx_tables.data());
  for (int k = kContexts; k < count; ++k) img_slot[k - kContexts] = choose_slot(buckets[k], hashes[k]);
}

int Model::image_buckets(uint32_t partial, uint32_t** buckets, uint32_t* hashes) {
  if (!image.image_active) return 0;
  const size_t img_words = size_t{img_mask} + 1;
  for (int k = 0; k < kImageContexts; ++k) {
    const uint32_t h = fmix(partial ^ (image.img_hash[k] * kHashG));
    uint32_t* b = img_tables.data() + k * img_words + (h & img_mask & ~uint32_t{kBucketWords - 1});
    __builtin_prefetch(b);
    __builtin_prefetch(b + kSlotWords);
    buckets[k] = b;
    hashes[k] = h;
  }
  return kImageContexts;
}

void Model::prefetch_buckets(uint32_t next_c0, const uint32_t* hashes) const {
  const uint32_t partial = next_c0 * kHashA;
  const size_t ctx_words = size_t{ctx_mask} + 1;
  for (int k = 0; k < kContexts; ++k) {
    const uint32_t h = fmix(partial ^ (hashes[k] * kHashG));
    const uint32_t* b = ctx_tables.data() + k * ctx_words + (h & ctx_mask & ~uint32_t{kBucketWords - 1});
    __builtin_prefetch(b);
    __builtin_prefetch(b + kSlotWords);
  }
}

uint32_t Model::next_bit_values() const {
  // A sure prediction is right often enough that fetching for the other value costs more
  // (in memory traffic) than the rare miss.
  return (pr <= kSure ? 1u : 0u) | (pr >= 4096 - kSure ? 2u : 0u);
}

void Model::prefetch_next_nibble() const {
  // Within a byte, the next nibble's buckets are fetched one bit early under the values that
  // bit may take, so that new_nibble does not wait for memory.
  if (bit_count == 3) {
    const uint32_t values = next_bit_values();
    for (const uint32_t b : {0u, 1u})
      if ((values >> b) & 1u) prefetch_buckets((c0 << 1) | b, ctx_hash.data());
  } else if (bit_count == 7) {
    prefetch_byte_end(next_bit_values());
  }
}

void Model::prefetch_byte_end(uint32_t values) const {
  // What the byte end and the next byte's first bit read under the values the last bit may
  // take: the order-1 row and both match table entries.
  for (const uint32_t b : {0u, 1u}) {
    if (((values >> b) & 1u) == 0) continue;
    const uint32_t c = ((c0 << 1) | b) & 0xFFu;
    __builtin_prefetch(&t1[1u | (c << 8)]);
    __builtin_prefetch(&match1.table[match1_hash((c4 << 8) | c, (c8 << 8) | (c4 >> 24)) & match1.mask]);
    __builtin_prefetch(&match2.table[match2_rolling.peek(history.data(), pos, c) & match2.mask]);
  }
}

template <bool kSecondary>
void Model::update_with(int bit) {
  counter_update(*t0_ctr, bit, kLimitSlow);
  counter_update(*t1_ctr, bit, kLimitSlow);
  uint32_t* const slots = ctx_tables.data() + nibble;
  for (int k = 0; k < kContexts; ++k) {
    counter_update(slots[slot_word[k]], bit, kLimitFast);
    if constexpr (kSecondary) counter_update(sec_maps[sec_index[k]], bit, kLimitSlow);
  }
  match1.update_bit(bit);
  match2.update_bit(bit);
  if (image.image_active)
    for (int k = 0; k < kImageContexts; ++k) counter_update(*img_ctr[k], bit, kLimitFast);
  mixer.train(bit, train_threshold);
  apm1.update(bit);
  apm2.update(bit);

  advance(bit);
  predict_with<kSecondary>();
}

void Model::advance(int bit) {
  c0 = (c0 << 1) | static_cast<uint32_t>(bit);
  nibble = (nibble << 1) | static_cast<uint32_t>(bit);
  const int b = bit_count++;
  if (b == 3) {
    new_nibble();
  } else if (b == 7) {
    byte_end();
    new_nibble();
  }
}

void Model::update(int bit) {
  if (vector_path) {
    if (secondary_enabled) {
      update_avx2<true>(bit);
    } else {
      update_avx2<false>(bit);
    }
  } else if (secondary_enabled) {
    update_with<true>(bit);
  } else {
    update_with<false>(bit);
  }
}

void Model::byte_end() {
  const uint32_t c = c0 & 0xFFu;
  history[pos] = static_cast<uint8_t>(c);
  ++pos;
  c8 = (c8 << 8) | (c4 >> 24);
  c4 = (c4 << 8) | c;
  word_step(c, word, prev_word);

  ctx_hash[0] = fmix(((c4 & 0xFFFFu) * kHashA) ^ salt(2));
  ctx_hash[1] = fmix(((c4 & 0xFFFFFFu) * kHashA) ^ salt(3));
  ctx_hash[2] = fmix((c4 * kHashA) ^ salt(4));
  ctx_hash[3] = fmix((c4 * kHashA) ^ ((c8 & 0xFFFFu) * kHashB) ^ salt(6));
  ctx_hash[4] = fmix((word != 0 ? word * kHashA : c * kHashB) ^ salt(7));
  ctx_hash[5] = fmix((word * kHashA) ^ (prev_word * kHashB) ^ salt(8));
  ctx_hash[6] = fmix(((c4 & 0xFF00u) * kHashA) ^ (static_cast<uint32_t>(pos & 3) * kHashB) ^ salt(9));
  ctx_hash[7] = fmix(((c4 & 0xFFFF0000u) * kHashA) ^ salt(10));
  ctx_hash[8] = fmix((c4 * kHashA) ^ (c8 * kHashB) ^ salt(12));
  record.update(c, pos, history.data(), ctx_hash[9], ctx_hash[10]);
  if (image_enabled) image.update(c, c4, pos, history.data());

  match1.update_byte(history.data(), pos, match1_hash(c4, c8));
  match2.update_byte(history.data(), pos, match2_rolling.push(history.data(), pos));

  c0 = 1;
  bit_count = 0;
}

}  // namespace ixo::cm
