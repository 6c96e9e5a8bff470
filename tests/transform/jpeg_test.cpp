// JPEG files through lepton_jpeg: real images both ways, the output bound, and hostile containers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

#include "lepton_edit.h"
#include "sample_files.h"
#include "transform/bridge_call.h"
#include "transform/decoder_crash.h"
#include "transform/lepton_header.h"
#include "transform/quiet.h"
#include "transform/slots.h"

namespace ixo::transform {
namespace {

using test::Bytes;

constexpr std::string_view PREFIX = "JPEG reconstruction failed: ";

Bytes encode_or_fail(const Bytes& jpeg) {
  auto encoded = encode_jpeg(jpeg);
  EXPECT_TRUE(encoded.has_value());
  return encoded.value_or(Bytes{});
}

void expect_round_trip(const Bytes& jpeg, const std::string& name) {
  SCOPED_TRACE(name);
  ASSERT_TRUE(is_jpeg(jpeg));
  auto container = encode_jpeg(jpeg);
  ASSERT_TRUE(container.has_value());
  EXPECT_LE(container->size(), jpeg.size());
  auto rebuilt = decode_jpeg(*container, jpeg.size());
  ASSERT_TRUE(rebuilt) << rebuilt.error().to_string();
  EXPECT_TRUE(*rebuilt == jpeg);
}

TEST(Jpeg, SamplesRoundTrip) {
  for (const auto& name : test::SAMPLE_JPEGS) expect_round_trip(test::sample(name), name);
}

TEST(Jpeg, PicturesMadeByCjpegRoundTrip) {
  struct Case {
    int width, height;
    std::vector<std::string> options;
  } cases[] = {
      {1, 1, {"-quality", "90"}},
      {8, 8, {"-quality", "50", "-sample", "1x1"}},
      {1000, 700, {"-quality", "85", "-optimize"}},
      {1500, 1100, {"-quality", "95", "-progressive"}},
      {4096, 24, {"-quality", "70", "-sample", "2x1"}},
      {333, 517, {"-quality", "88", "-restart", "1B", "-sample", "2x2"}},
      {640, 480, {"-quality", "60", "-grayscale"}},
  };
  for (const auto& c : cases) {
    auto jpeg = test::cjpeg(test::ppm_picture(c.width, c.height, c.width * 31 + c.height), c.options);
    if (!jpeg) GTEST_SKIP() << "cjpeg is not installed (libjpeg-turbo-progs)";
    expect_round_trip(*jpeg, std::to_string(c.width) + "x" + std::to_string(c.height));
  }
}

TEST(Jpeg, OutputIsBoundedByTheFileSize) {
  const Bytes jpeg = test::sample("baseline-320x240.jpg");
  const Bytes container = encode_or_fail(jpeg);
  auto exact = decode_jpeg(container, jpeg.size());
  ASSERT_TRUE(exact) << exact.error().to_string();
  EXPECT_TRUE(*exact == jpeg);
  for (uint64_t size : {uint64_t(jpeg.size() - 1), uint64_t(100), uint64_t(0)}) {
    auto short_of = decode_jpeg(container, size);
    ASSERT_FALSE(short_of) << size;
    EXPECT_EQ(short_of.error().kind(), ErrorKind::InvalidData);
    const std::string text = short_of.error().to_string();
    EXPECT_EQ(text.rfind(PREFIX, 0), 0u) << text;
    EXPECT_NE(text.find("transform output exceeds limit"), std::string::npos) << text;
  }
}

// The library's text names its own source positions, never a folder of the machine that built it.
TEST(Jpeg, LibraryErrorsCarryNoLocalPath) {
  const Bytes jpeg = test::sample("progressive-640x400.jpg");
  Bytes container = encode_or_fail(jpeg);
  container.resize(container.size() - 100);
  auto r = decode_jpeg(container, jpeg.size());
  ASSERT_FALSE(r);
  const std::string text = r.error().to_string();
  EXPECT_EQ(text.rfind(PREFIX, 0), 0u) << text;
  EXPECT_NE(text.find(" at lepton_jpeg-0.5.3/src/"), std::string::npos) << text;
  const char* home = std::getenv("HOME");
  if (home && *home) {
    EXPECT_EQ(text.find(home), std::string::npos) << text;
  }
  EXPECT_EQ(text.find(IXO_SOURCE_DIR), std::string::npos) << text;
  EXPECT_EQ(text.find("registry"), std::string::npos) << text;
}

TEST(Jpeg, EncoderGivesNothingForWhatItCannotTake) {
  EXPECT_FALSE(encode_jpeg(Bytes{}).has_value());
  EXPECT_FALSE(encode_jpeg(Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 0}).has_value());
  EXPECT_FALSE(encode_jpeg(test::sample("text-9.gz")).has_value());
}

// A tiny JPEG's container is longer than the JPEG itself: the encoder's bound refuses it.
TEST(Jpeg, EncoderRefusesAContainerLongerThanTheJpeg) {
  auto jpeg = test::cjpeg(test::ppm_picture(16, 16, 1), {"-optimize", "-grayscale"});
  if (!jpeg) GTEST_SKIP() << "cjpeg is not installed (libjpeg-turbo-progs)";
  LimitedVec unbounded(1 << 20);
  auto container = run_encoder(ixo_lepton_encode, *jpeg, unbounded);
  ASSERT_TRUE(container.has_value());
  ASSERT_GT(container->size(), jpeg->size());
  EXPECT_FALSE(encode_jpeg(*jpeg).has_value());
  auto rebuilt = decode_jpeg(*container, jpeg->size());
  ASSERT_TRUE(rebuilt) << rebuilt.error().to_string();
  EXPECT_TRUE(*rebuilt == *jpeg);
}

TEST(Jpeg, TooWideForTheSettings) {
  auto jpeg = test::cjpeg(test::ppm_picture(4097, 8, 1), {"-quality", "50"});
  if (!jpeg) GTEST_SKIP() << "cjpeg is not installed (libjpeg-turbo-progs)";
  EXPECT_FALSE(encode_jpeg(*jpeg).has_value());
}

struct Outcome {
  std::string result;  // "ok", "crash", or the error's text
  std::string err;     // what went to standard error meanwhile
};

Outcome decode_capturing(const Bytes& container, uint64_t size, bool quiet) {
  Outcome o;
  testing::internal::CaptureStderr();
  try {
    std::optional<QuietScope> scope;
    if (quiet) scope.emplace();
    auto r = decode_jpeg(container, size);
    o.result = r ? std::string("ok") : r.error().to_string();
  } catch (const DecoderCrash&) {
    o.result = "crash";
  }
  o.err = testing::internal::GetCapturedStderr();
  return o;
}

// Containers that pass the header check but make the library panic on the calling thread: the panic comes back as
// the decoder's crash, silent under the quiet flag, and everything goes on.
TEST(Jpeg, LibraryPanicsAreCaught) {
  const Bytes jpeg = test::sample("baseline-320x240.jpg");
  const test::LeptonParts parts = test::split_lepton(encode_or_fail(jpeg));
  auto without_handoffs = parts;
  ASSERT_EQ(std::erase_if(without_handoffs.sections, [](const auto& s) { return s.tag.starts_with("HH"); }), 1u);
  auto zero_size = parts;
  std::fill(zero_size.fixed.begin() + 20, zero_size.fixed.end(), 0);

  for (const auto& [name, container] : std::vector<std::pair<std::string, Bytes>>{
           {"no handoff section", test::join_lepton(without_handoffs)},
           {"zero JPEG size", test::join_lepton(zero_size)},
       }) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(check_lepton_header(container, jpeg.size()));
    const bool was_quiet = ixo_quiet();
    const Outcome quiet = decode_capturing(container, jpeg.size(), true);
    EXPECT_EQ(quiet.result, "crash");
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(ixo_quiet(), was_quiet);
    const Outcome loud = decode_capturing(container, jpeg.size(), false);
    EXPECT_EQ(loud.result, "crash");
    EXPECT_NE(loud.err.find("panicked at lepton_jpeg-0.5.3/src/"), std::string::npos) << loud.err;
  }
  // The library still works afterwards.
  auto rebuilt = decode_jpeg(test::join_lepton(parts), jpeg.size());
  ASSERT_TRUE(rebuilt) << rebuilt.error().to_string();
  EXPECT_TRUE(*rebuilt == jpeg);
}

// Damage after the header check: every outcome is an error with the prefix or a caught crash, never more output
// than the file's size.
TEST(Jpeg, DamagedImageDataFailsCleanly) {
  const Bytes jpeg = test::sample("progressive-640x400.jpg");
  const Bytes good = encode_or_fail(jpeg);
  const size_t data_at = 28 + (good[24] | good[25] << 8 | good[26] << 16 | size_t(good[27]) << 24);
  int crashes = 0, errors = 0;
  for (size_t at = data_at; at < good.size(); at += 97) {
    Bytes bad = good;
    bad[at] ^= 0x5A;
    const Outcome o = decode_capturing(bad, jpeg.size(), true);
    EXPECT_EQ(o.err, "");
    if (o.result == "crash") {
      ++crashes;
    } else if (o.result != "ok") {
      ++errors;
      EXPECT_EQ(o.result.rfind(PREFIX, 0), 0u) << o.result;
    }
  }
  EXPECT_GT(crashes + errors, 0);
}

}  // namespace
}  // namespace ixo::transform
