// The model's predictions must never drift: archives written long ago decode only when every
// probability comes out exactly as it did then. The encoder mirrors the decoder, so round trips
// alone would not notice a change; these digests of the arithmetic code were taken from the
// straightforward model and pin it on whichever code path the tests run.
#include <gtest/gtest.h>

#include <vector>

#include "cm_encoder.h"
#include "crc32.h"
#include "ixo_cm.h"
#include "model.h"
#include "sample_data.h"
#include "vector_path.h"

namespace ixo::cm {
namespace {

// Every component gets to work: words, structs, an image with its header, records, noise,
// a run of zeros, then text again so that the match models find long matches.
std::vector<uint8_t> mixed_sample() {
  std::vector<uint8_t> s = testing::sample_text(7000);
  for (const auto& part : {testing::sample_binary(3000), testing::sample_png(40, 12), testing::sample_records(33, 60),
                           testing::sample_random(700, 9), std::vector<uint8_t>(400, 0), testing::sample_text(5000)})
    s.insert(s.end(), part.begin(), part.end());
  return s;
}

struct Digest {
  int profile;
  int level;
  size_t size;
  uint32_t crc;
};

// Payload size and CRC-32 per profile and level.
constexpr Digest kDigests[] = {
    {1, 1, 4988, 0x0B35CCF6}, {1, 2, 4993, 0xEEB2903A}, {1, 3, 4994, 0xAAC0D5D3}, {1, 4, 4994, 0xA1AA2C5C},
    {1, 5, 4994, 0xD8610C37}, {1, 6, 4994, 0x5A6FAA61}, {1, 7, 4994, 0x2E776E9A}, {1, 8, 4994, 0x3ABE5108},
    {1, 9, 4994, 0x3ABE5108}, {2, 1, 4478, 0xDE45A660}, {2, 2, 4483, 0xE9C39188}, {2, 3, 4484, 0x8DF99683},
    {2, 4, 4484, 0x50723048}, {2, 5, 4484, 0x9E3D18E9}, {2, 6, 4483, 0x0C19B04B}, {2, 7, 4484, 0xFCE999F8},
    {2, 8, 4483, 0x4254BAEF}, {2, 9, 4483, 0x4254BAEF}, {3, 1, 4263, 0x5E2DE6DC}, {3, 2, 4263, 0x1AEBA7E2},
    {3, 3, 4264, 0xB2096264}, {3, 4, 4264, 0x712B17ED}, {3, 5, 4264, 0x19D40628}, {3, 6, 4264, 0x23CB3863},
    {3, 7, 4264, 0xAC59980E}, {3, 8, 4263, 0x5B03885A}, {3, 9, 4263, 0x5B03885A},
};

TEST(StableStreams, PayloadsMatchTheRecordedOnes) {
  const std::vector<uint8_t> data = mixed_sample();
  for (const Digest& d : kDigests) {
    const std::vector<uint8_t> payload = testing::encode_payload(data, d.profile, d.level);
    EXPECT_EQ(payload.size(), d.size) << "profile " << d.profile << " level " << d.level;
    EXPECT_EQ(crc32(payload.data(), payload.size()), d.crc) << "profile " << d.profile << " level " << d.level;
  }
}

// Restores the path the suite runs on, whatever a test chose.
class BothPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2 here: the plain code is the only path";
  }
  void TearDown() override { testing_force_scalar(forced_); }
  const bool forced_ = !vector_path_enabled();
};

TEST_F(BothPaths, SwitchChoosesThePathOfNewModels) {
  testing_force_scalar(true);
  EXPECT_FALSE(Model(1, 0, 1).vector_path);
  testing_force_scalar(false);
  EXPECT_TRUE(Model(1, 0, 1).vector_path);
}

// Small tables fill up, so slots are found in either place and replaced under both counts.
TEST_F(BothPaths, ModelsChooseTheSameSlotsAndPredictions) {
  const std::vector<uint8_t> data = mixed_sample();
  for (const int profile : {1, 3}) {
    SCOPED_TRACE(::testing::Message() << "profile " << profile);
    testing_force_scalar(true);
    Model plain(1, data.size(), profile);
    testing_force_scalar(false);
    Model vec(1, data.size(), profile);
    for (size_t i = 0; i < data.size(); ++i) {
      for (int b = 7; b >= 0; --b) {
        for (int k = 0; k < kContexts; ++k) {
          ASSERT_EQ(plain.slot_word[k], vec.slot_word[k])
              << "byte " << i << ", bit " << 7 - b << ", context " << k;
          ASSERT_EQ(plain.slot(k)[0], vec.slot(k)[0]) << "byte " << i << ", context " << k;
          ASSERT_EQ(plain.sec_index[k], vec.sec_index[k]) << "byte " << i << ", bit " << 7 - b << ", context " << k;
        }
        ASSERT_EQ(plain.pr, vec.pr) << "byte " << i << ", bit " << 7 - b;
        const int bit = (data[i] >> b) & 1;
        plain.update(bit);
        vec.update(bit);
      }
    }
  }
}

TEST_F(BothPaths, StreamOfOnePathDecodesOnTheOther) {
  const std::vector<uint8_t> data = mixed_sample();
  for (const int profile : {1, 2, 3}) {
    for (const bool encode_scalar : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "profile " << profile << (encode_scalar ? ", plain encoder" : ", vector encoder"));
      testing_force_scalar(encode_scalar);
      const std::vector<uint8_t> s = testing::encode_stream(data, profile, 2);
      testing_force_scalar(!encode_scalar);
      std::vector<uint8_t> out(data.size());
      size_t len = 0;
      ASSERT_EQ(ixo_cm_decompress(s.data(), s.size(), out.data(), out.size(), &len), IXO_CM_OK);
      EXPECT_TRUE(out == data);
    }
  }
}

}  // namespace
}  // namespace ixo::cm
