// The bit-level context-mixing model of one modelled stream.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "apm.h"
#include "image_model.h"
#include "match_model.h"
#include "mixer_pair.h"
#include "record_model.h"
#include "table_memory.h"

namespace ixo::cm {

inline constexpr int kContexts = 11;
inline constexpr int kImageContexts = 5;
inline constexpr int kSlotWords = 16;    // tag and 15 nibble counters
inline constexpr int kBucketWords = 32;  // two slots
// A secondary map has a row for each count of the slot counter it follows (counts from kSecondaryRows - 1 on
// share the last row) and a column for each value of the counter's top kSecondaryColumnBits bits.
inline constexpr int kSecondaryRows = 16;
inline constexpr int kSecondaryColumnBits = 5;
inline constexpr int kSecondaryEntries = kSecondaryRows << kSecondaryColumnBits;
// A probability of a 1 above kSure, or below 4096 - kSure, is taken as sure.
inline constexpr int32_t kSure = 3584;

// The mixer's inputs, in this order: kDirectInputs (the bias, the order-0 and order-1 counters); each context's
// slot, with secondary maps followed by its map entry; the inputs of both match models; the image contexts.
inline constexpr int kDirectInputs = 3;
constexpr int match_inputs_at(bool secondary) { return kDirectInputs + (secondary ? 2 : 1) * kContexts; }
constexpr int image_inputs_at(bool secondary) { return match_inputs_at(secondary) + 2 * MatchModel::kInputs; }
constexpr int mixer_inputs(bool secondary) { return image_inputs_at(secondary) + kImageContexts; }

// The entry, among the kContexts maps one after another, that the slot counter v of context k selects in its
// map: the row of its count, the column of its top bits.
constexpr uint32_t secondary_entry(int k, uint32_t v) {
  return static_cast<uint32_t>(k) * kSecondaryEntries +
         std::min(v & 1023u, uint32_t{kSecondaryRows - 1}) * (uint32_t{1} << kSecondaryColumnBits) +
         (v >> (32 - kSecondaryColumnBits));
}

// Picks the slot of a two-slot bucket for hash h, replacing the less used one on a miss.
uint32_t* choose_slot(uint32_t* bucket, uint32_t h);

// Letters (ASCII, either case, and every byte from 0x80 on) extend the word hash; any other
// byte closes an open word.
void word_step(uint32_t c, uint32_t& word, uint32_t& prev_word);

// Fields are public so the tests can check the model's state against known values; only the
// model itself writes them.
struct Model {
  // Throws std::bad_alloc when a table cannot be allocated; members already built are
  // released on the way out.
  Model(int level, size_t n, int profile);
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  // Learns the decoded bit and leaves pr set for the next one.
  void update(int bit);
  void new_nibble();
  void predict();
  void byte_end();

  // Bytes held by a model (history included); the figure the memory gate reserves.
  static uint64_t memory_bytes(int level, uint64_t n, int profile);
  static int match_bits(int level) { return 16 + (level < 6 ? level : 6); }

  uint32_t ctx_mask;
  uint32_t img_mask;
  bool image_enabled;
  bool secondary_enabled;
  bool vector_path;  // runs the AVX2 code (chosen when built)
  int32_t train_threshold;
  const int16_t* stretch_tab;
  Table<uint8_t> history;
  uint64_t pos = 0;
  uint32_t c0 = 1;
  uint32_t nibble = 1;
  uint32_t c4 = 0;
  uint32_t c8 = 0;
  uint32_t word = 0;
  uint32_t prev_word = 0;
  int32_t bit_count = 0;
  int32_t pr = 2048;
  Table<uint32_t> t0;
  Table<uint32_t> t1;
  Table<uint32_t> ctx_tables;  // kContexts tables of ctx_mask + 1 words, one after another
  Table<uint32_t> sec_maps;    // kContexts maps of kSecondaryEntries, or empty
  std::array<uint32_t, kContexts> ctx_hash{};
  RecordModel record;
  // Sixteen lanes, of which the first kContexts are used (the vector code works on all):
  // each context's slot as its word index in ctx_tables, the entry of its secondary map that
  // the current bit uses, as an index in sec_maps, and the values of the slot and secondary
  // counters of the current bit.
  std::array<uint32_t, 16> slot_word{};
  std::array<uint32_t, 16> sec_index{};
  std::array<uint32_t, 16> bit_slot_value{};
  std::array<uint32_t, 16> bit_sec_value{};
  uint32_t* t0_ctr = nullptr;
  uint32_t* t1_ctr = nullptr;
  // The slot of context k.
  const uint32_t* slot(int k) const { return ctx_tables.data() + slot_word[static_cast<size_t>(k)]; }
  Table<uint32_t> img_tables;  // kImageContexts tables of img_mask + 1 words, or empty
  ImageModel image;
  std::array<uint32_t*, kImageContexts> img_slot{};
  std::array<uint32_t*, kImageContexts> img_ctr{};
  MatchModel match1;
  MatchModel match2;
  RollingMatch2Hash match2_rolling;
  MixerPair mixer;
  APM apm1;
  APM apm2;

 private:
  template <bool kSecondary>
  void predict_with();
  template <bool kSecondary>
  void update_with(int bit);
  template <bool kSecondary>
  void predict_avx2();
  template <bool kSecondary>
  void update_avx2(int bit);
  void new_nibble_avx2();
  // The buckets of the image contexts while the image model is active; returns their number.
  int image_buckets(uint32_t partial, uint32_t** buckets, uint32_t* hashes);
  // Steps both versions share: the bit's end (new nibble, byte end) and the final probability.
  void advance(int bit);
  void refine(int pmix, uint32_t c1);
  void prefetch_next_bit(uint32_t above) const;
  // Buckets of the context tables for the partial byte next_c0 under the given context hashes.
  void prefetch_buckets(uint32_t next_c0, const uint32_t* hashes) const;
  // Bit b set: the next bit is worth fetching for under the value b (1 for 0, 2 for 1, 3 for
  // both), judged from pr.
  uint32_t next_bit_values() const;
  void prefetch_next_nibble() const;
  void prefetch_byte_end(uint32_t values) const;
};

}  // namespace ixo::cm
