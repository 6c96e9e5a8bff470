// Record model (period finding) and image model (PNG header and scanline contexts).
#include <gtest/gtest.h>

#include <vector>

#include "hash.h"
#include "image_model.h"
#include "model_driver.h"
#include "record_model.h"
#include "sample_data.h"

namespace ixo::cm {
namespace {

using testing::feed;

struct RecordHarness {
  RecordModel r;
  std::vector<uint8_t> history = std::vector<uint8_t>(4096);
  uint32_t h9 = 0, h10 = 0;
  // One byte end of byte c with the history length after it at pos.
  void at(uint64_t pos, uint8_t c) {
    if (pos <= history.size()) history[pos - 1] = c;
    r.update(c, pos, history.data(), h9, h10);
  }
};

TEST(RecordModel, PeriodAtTheEighteenthConfirmingEvent) {
  RecordHarness h;
  h.at(40, 'X');
  h.at(80, 'X');
  h.at(120, 'X');
  EXPECT_EQ(h.r.candidate, 0u);
  h.at(160, 'X');  // 0, 40, 80, 120, 160: the initial zero counts as an occurrence
  EXPECT_EQ(h.r.candidate, 40u);
  EXPECT_EQ(h.r.repeat_count, 0u);
  for (int event = 2; event <= 18; ++event) {
    h.at(120 + 40 * static_cast<uint64_t>(event), 'X');
    EXPECT_EQ(h.r.repeat_count, static_cast<uint32_t>(event - 1));
    EXPECT_EQ(h.r.period, event == 18 ? 40u : 0u) << "event " << event;
  }
}

TEST(RecordModel, ConfirmationsMayComeFromDifferentBytes) {
  RecordHarness h;
  for (uint64_t p = 10; p <= 100; p += 10) h.at(p, 'a');  // confirms 10 from p = 40
  for (uint64_t p = 105; p <= 255; p += 10) h.at(p, 'b');
  EXPECT_EQ(h.r.candidate, 10u);
  EXPECT_EQ(h.r.period, 10u);  // 6 confirmations from 'a', 12 from 'b'
}

TEST(RecordModel, ShortAndLongGapsNeverConfirm) {
  RecordHarness h;
  for (uint64_t p = 1; p <= 50; ++p) h.at(p, 'z');
  EXPECT_EQ(h.r.candidate, 0u);
  RecordHarness far;
  for (uint64_t k = 1; k <= 6; ++k) far.at(k * 65536, 'q');
  EXPECT_EQ(far.r.candidate, 0u);
  RecordHarness edge;
  for (uint64_t k = 1; k <= 6; ++k) edge.at(k * 65535, 'q');
  EXPECT_EQ(edge.r.candidate, 65535u);
}

TEST(RecordModel, NewCandidateKeepsThePeriod) {
  RecordHarness h;
  for (uint64_t p = 40; p <= 40 * 22; p += 40) h.at(p, 'X');
  ASSERT_EQ(h.r.period, 40u);
  for (uint64_t p = 1000; p <= 1200; p += 50) h.at(p, 'Y');
  EXPECT_EQ(h.r.candidate, 50u);
  EXPECT_EQ(h.r.period, 40u);
}

TEST(RecordModel, HashesUseTheRowsAbove) {
  RecordHarness h;
  for (uint64_t p = 40; p <= 40 * 22; p += 40) h.at(p, 'X');
  ASSERT_EQ(h.r.period, 40u);
  h.history[1000 - 40] = 0x11;
  h.history[1000 - 80] = 0x22;
  h.at(1000, 0x33);
  EXPECT_EQ(h.h9, fmix(((0x11u | (0x22u << 8)) * kHashA) ^ (40u * kHashB) ^ salt(14)));
  EXPECT_EQ(h.h10, fmix(((0x11u | (0x33u << 8)) * kHashA) ^ (40u * kHashB) ^ salt(15)));
}

TEST(RecordModel, WithoutPeriodTheRowHashIsConstant) {
  const auto m = testing::small_model(1);
  for (const char ch : std::string_view("no period in this short text")) {
    testing::feed_byte(*m, static_cast<uint8_t>(ch));
    EXPECT_EQ(m->ctx_hash[9], fmix(salt(14)));
    EXPECT_EQ(m->ctx_hash[10], fmix(((uint32_t{static_cast<uint8_t>(ch)} << 8) * kHashA) ^ salt(15)));
  }
}

TEST(RecordModel, FindsTheLengthOfFixedRecords) {
  const std::vector<uint8_t> data = testing::sample_records(37, 60);
  const auto m = testing::small_model(1, data.size());
  feed(*m, data);
  EXPECT_EQ(m->record.period, 37u);
}

// Drives an image model alone, keeping c4 and the history as the model would.
struct ImageHarness {
  ImageModel im;
  std::vector<uint8_t> history = std::vector<uint8_t>(1 << 17);
  uint64_t pos = 0;
  uint32_t c4 = 0;
  void push(uint8_t c) {
    history[pos++] = c;
    c4 = (c4 << 8) | c;
    im.update(c, c4, pos, history.data());
  }
  void push(const std::vector<uint8_t>& bytes) {
    for (const uint8_t b : bytes) push(b);
  }
  // "IHDR" and its 13 bytes, without the chunk length before it or its CRC after it.
  void header(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour, uint8_t interlace) {
    std::vector<uint8_t> chunk;
    testing::append_ihdr(chunk, width, height, depth, colour, interlace);
    push(std::vector<uint8_t>(chunk.begin() + 4, chunk.begin() + 21));
  }
};

TEST(ImageModel, HeaderParse) {
  struct Case {
    const char* name;
    uint32_t width, height;
    uint8_t depth, colour, interlace;
    bool accepted;
    uint32_t stride, bpp;
  };
  const Case cases[] = {
      {"8-bit RGB", 100, 10, 8, 2, 0, true, 301, 3},
      {"16-bit RGBA", 10, 10, 16, 6, 0, true, 81, 8},
      {"1-bit grey", 9, 10, 1, 0, 0, true, 3, 1},
      {"8-bit palette", 7, 10, 8, 3, 0, true, 8, 1},
      {"4-bit grey alpha", 5, 2, 4, 4, 0, true, 6, 1},
      {"largest row", 33554424, 1, 1, 0, 0, true, 4194304, 1},
      {"row too long", 33554425, 1, 1, 0, 0, false, 0, 1},
      {"16-bit RGB row too long", 699051, 1, 16, 2, 0, false, 0, 1},
      {"colour type 1", 10, 10, 8, 1, 0, false, 0, 1},
      {"colour type 5", 10, 10, 8, 5, 0, false, 0, 1},
      {"colour type 7", 10, 10, 8, 7, 0, false, 0, 1},
      {"depth 3", 10, 10, 3, 0, 0, false, 0, 1},
      {"depth 32", 10, 10, 32, 0, 0, false, 0, 1},
      {"interlaced", 10, 10, 8, 2, 1, false, 0, 1},
      {"zero width", 0, 10, 8, 2, 0, false, 0, 1},
      {"zero height", 10, 0, 8, 2, 0, false, 0, 1},
  };
  for (const Case& c : cases) {
    ImageHarness h;
    h.header(c.width, c.height, c.depth, c.colour, c.interlace);
    EXPECT_EQ(h.im.ihdr_countdown, 0) << c.name;
    EXPECT_EQ(h.im.stride, c.stride) << c.name;
    EXPECT_EQ(h.im.bpp, c.bpp) << c.name;
    EXPECT_EQ(h.im.remaining, c.accepted ? uint64_t{c.stride} * c.height + 65536 : 0) << c.name;
  }
}

TEST(ImageModel, RemainingIsCapped) {
  ImageHarness h;
  h.header(1000000, 0xFFFFFFFFu, 8, 6, 0);
  EXPECT_EQ(h.im.stride, 4000001u);
  EXPECT_EQ(h.im.remaining, 0xFFFFFF0000ull + 65536);
}

TEST(ImageModel, RejectedHeaderKeepsTheEarlierGeometry) {
  ImageHarness h;
  h.header(4, 2, 8, 2, 0);  // stride 13, bpp 3
  const uint64_t remaining = h.im.remaining;
  h.push({1, 2, 3});
  h.header(10, 10, 8, 5, 0);
  EXPECT_EQ(h.im.stride, 13u);
  EXPECT_EQ(h.im.bpp, 3u);
  EXPECT_EQ(h.im.remaining, remaining - 3 - 17);
}

TEST(ImageModel, NoSearchWhileCopyingTheHeader) {
  ImageHarness h;
  h.push({'I', 'H', 'D', 'R'});
  EXPECT_EQ(h.im.ihdr_countdown, 13);
  h.push({'I', 'H', 'D', 'R'});  // inside the header data: copied, not a new header
  EXPECT_EQ(h.im.ihdr_countdown, 9);
  h.push({0, 0, 0, 9, 8, 'I', 'H', 'D', 'R'});  // the 13th byte completes "IHDR" again
  EXPECT_EQ(h.im.ihdr_countdown, 0);
  h.push('x');
  EXPECT_EQ(h.im.ihdr_countdown, 0);
  h.push({'I', 'H', 'D', 'R'});  // once copying has ended the search resumes
  EXPECT_EQ(h.im.ihdr_countdown, 13);
}

TEST(ImageModel, ActivityNeighboursAndExpiry) {
  ImageHarness h;
  h.push(std::vector<uint8_t>(3, 0xEE));
  h.header(4, 2, 8, 2, 0);  // stride 13, bpp 3; accepted at pos 20, not yet two rows in
  ASSERT_EQ(h.pos, 20u);
  EXPECT_FALSE(h.im.image_active);
  std::vector<uint8_t> rows;
  for (int i = 0; i < 6; ++i) rows.push_back(static_cast<uint8_t>(0x40 + i));
  h.push(rows);  // pos 26 = 2 x stride: still inactive
  EXPECT_FALSE(h.im.image_active);
  h.push(0x50);  // pos 27
  ASSERT_TRUE(h.im.image_active);
  // Next byte's neighbours: left pos-3, above pos-13, above-left pos-16, above-right pos-10.
  const uint32_t a = h.history[27 - 3], b = h.history[27 - 13], cl = h.history[27 - 16], d = h.history[27 - 10];
  EXPECT_EQ(h.im.image_above, b);
  EXPECT_EQ(h.im.img_hash[0], fmix(((a | (b << 8)) * kHashA) ^ salt(20)));
  EXPECT_EQ(h.im.img_hash[1], fmix(((b | (cl << 8) | (d << 16)) * kHashA) ^ salt(21)));
  const uint32_t grad = static_cast<uint32_t>(std::clamp(int(a + b) - int(cl), 0, 255));
  EXPECT_EQ(h.im.img_hash[2], fmix((((b - cl) & 0xFF) * kHashB) ^ (grad * kHashA) ^ salt(22)));
  EXPECT_EQ(h.im.img_hash[3], fmix(((a | (b << 8) | (cl << 16)) * kHashA) ^ salt(23)));
  EXPECT_EQ(h.im.img_hash[4], fmix(((a | (0x50u << 8) | (b << 16)) * kHashA) ^ salt(24)));
  // The geometry lasts stride x height + 65536 bytes after the header.
  const uint64_t left = h.im.remaining;
  for (uint64_t i = 1; i < left; ++i) h.push(static_cast<uint8_t>(i));
  EXPECT_TRUE(h.im.image_active);
  h.push(0);
  EXPECT_FALSE(h.im.image_active);
}

TEST(ImageModel, HeaderLateInTheStreamIsActiveAtOnce) {
  ImageHarness h;
  h.push(std::vector<uint8_t>(100, 7));
  h.header(4, 2, 8, 2, 0);
  EXPECT_TRUE(h.im.image_active);
}

TEST(ImageModel, ModelUsesImageContextsOnlyInImageProfiles) {
  const std::vector<uint8_t> png = testing::sample_png(40, 20);
  for (const int profile : {1, 2, 3}) {
    const auto m = testing::small_model(profile, png.size());
    bool seen_active = false;
    bool apm_contexts_right = true;
    for (const uint8_t byte : png) {
      for (int i = 7; i >= 0; --i) {
        const uint32_t above = m->image.image_active ? m->image.image_above : (m->c4 & 0xFF);
        apm_contexts_right &= m->apm2.idx / 33 == (m->c0 | (above << 8));
        seen_active |= m->image.image_active;
        m->update((byte >> i) & 1);
      }
    }
    EXPECT_TRUE(apm_contexts_right) << profile;
    EXPECT_EQ(seen_active, profile > 1) << profile;
    EXPECT_EQ(m->image.stride, profile > 1 ? 121u : 0u);
  }
}

}  // namespace
}  // namespace ixo::cm
