// Streams written by the mirror encoder decode to their input, for every profile and level.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cm_encoder.h"
#include "ixo_cm.h"
#include "sample_data.h"

namespace ixo::cm {
namespace {

using testing::StreamMode;

struct Sample {
  std::string name;
  std::vector<uint8_t> data;
};

// Full-size samples at the low levels; at the high levels the model's size dominates the
// cost, so the inputs are kept small there.
std::vector<Sample> samples(int level) {
  const size_t scale = level <= 3 ? 8 : 1;
  std::vector<uint8_t> mixed = testing::sample_text(600 * scale);
  for (const auto& part : {testing::sample_png(16, 8), testing::sample_records(24, 30),
                           testing::sample_random(300, 3), std::vector<uint8_t>(200, 0)})
    mixed.insert(mixed.end(), part.begin(), part.end());
  std::vector<Sample> s = {{"mixed", mixed}, {"single byte", {0x5A}}, {"empty", {}}};
  if (level <= 4) {
    s.push_back({"text", testing::sample_text(4000 * scale)});
    s.push_back({"binary", testing::sample_binary(3000 * scale)});
    s.push_back({"png", testing::sample_png(60, 10 * static_cast<uint32_t>(scale))});
    s.push_back({"records", testing::sample_records(41, 80 * scale)});
    s.push_back({"random", testing::sample_random(1500 * scale, 11)});
    s.push_back({"zeros", std::vector<uint8_t>(3000 * scale, 0)});
  }
  return s;
}

class RoundTrip : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(RoundTrip, ModelledAndStored) {
  const auto [profile, level] = GetParam();
  for (const Sample& sample : samples(level)) {
    for (const StreamMode mode : {StreamMode::Modelled, StreamMode::Stored}) {
      SCOPED_TRACE(sample.name + (mode == StreamMode::Stored ? " stored" : " modelled"));
      const std::vector<uint8_t> s = testing::encode_stream(sample.data, profile, level, mode);
      uint64_t n = 0;
      ASSERT_EQ(ixo_cm_decompressed_size(s.data(), s.size(), &n), IXO_CM_OK);
      ASSERT_EQ(n, sample.data.size());
      std::vector<uint8_t> out(sample.data.size());
      size_t len = 0;
      ASSERT_EQ(ixo_cm_decompress(s.data(), s.size(), out.data(), out.size(), &len), IXO_CM_OK);
      EXPECT_EQ(len, sample.data.size());
      EXPECT_TRUE(out == sample.data);
      if (mode == StreamMode::Modelled && sample.name == "text" && level == 2) {
        // The model must actually model: text shrinks well below a byte per byte.
        EXPECT_LT(s.size(), sample.data.size() / 3);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ProfilesAndLevels, RoundTrip,
                         ::testing::Combine(::testing::Values(1, 2, 3), ::testing::Range(1, 10)),
                         [](const auto& info) {
                           return "profile" + std::to_string(std::get<0>(info.param)) + "_level" +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST(RoundTrip, ShortPayloadEndingsAreZeroPadded) {
  // The encoder's last byte may be followed by anything; only what it wrote is read first.
  const std::vector<uint8_t> data = testing::sample_text(5000);
  std::vector<uint8_t> s = testing::encode_stream(data, 2, 1);
  s.insert(s.end(), {0, 0, 0, 0, 0, 0});
  std::vector<uint8_t> out(data.size());
  size_t len = 0;
  ASSERT_EQ(ixo_cm_decompress(s.data(), s.size(), out.data(), out.size(), &len), IXO_CM_OK);
  EXPECT_TRUE(out == data);
}

TEST(RoundTrip, ModelIsActiveOnItsKindsOfData) {
  // Image and record contexts pay off: their samples compress better with the profiles
  // that use them than random data does.
  const std::vector<uint8_t> png = testing::sample_png(100, 40);
  const size_t png1 = testing::encode_payload(png, 1, 2).size();
  const size_t png2 = testing::encode_payload(png, 2, 2).size();
  EXPECT_LT(png2, png1);
  const std::vector<uint8_t> random = testing::sample_random(4000, 5);
  EXPECT_GT(testing::encode_payload(random, 1, 2).size(), random.size() * 99 / 100);
}

}  // namespace
}  // namespace ixo::cm
