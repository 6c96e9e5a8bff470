// Files with deflate streams through preflate-rs: real files both ways, the output bound, hand-made containers
// and hostile ones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "sample_files.h"
#include "transform/bridge_call.h"
#include "transform/decoder_crash.h"
#include "transform/quiet.h"
#include "transform/slots.h"

namespace ixo::transform {
namespace {

using test::Bytes;

constexpr std::string_view PREFIX = "preflate could not rebuild a file: ";

void varint(Bytes& out, uint32_t v) {
  do {
    out.push_back(uint8_t((v & 0x7F) | (v >= 0x80 ? 0x80 : 0)));
    v >>= 7;
  } while (v != 0);
}

// A container of literal segments only, one per piece, which rebuilds to the pieces one after another.
Bytes literal_container(const std::vector<Bytes>& pieces) {
  Bytes out = {1};
  for (const auto& p : pieces) {
    out.push_back(0);
    varint(out, uint32_t(p.size()));
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

std::string failure_of(const Result<Bytes>& r) {
  if (r) return "ok";
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
  const std::string text = r.error().to_string();
  EXPECT_EQ(text.rfind(PREFIX, 0), 0u) << text;
  return text;
}

void expect_round_trip(const Bytes& file, const std::string& name) {
  SCOPED_TRACE(name);
  ASSERT_TRUE(may_contain_deflate(file));
  auto container = encode_preflate(file);
  ASSERT_TRUE(container.has_value());
  auto rebuilt = decode_preflate(*container, file.size());
  ASSERT_TRUE(rebuilt) << rebuilt.error().to_string();
  EXPECT_TRUE(*rebuilt == file);
}

TEST(Preflate, SamplesRoundTrip) {
  for (const auto& name : test::SAMPLE_DEFLATE_FILES) expect_round_trip(test::sample(name), name);
}

// Streams that the library expands make a container worth keeping.
TEST(Preflate, ExpandedStreamsAreWorthKeeping) {
  for (const char* name : {"text-9.gz", "bundle.zip", "palette-320x240.png"}) {
    const Bytes file = test::sample(name);
    auto container = encode_preflate(file);
    ASSERT_TRUE(container.has_value()) << name;
    EXPECT_TRUE(preflate_worth_keeping(file.size(), container->size())) << name;
  }
}

// preflate-rs 0.7.1 stores RGBA bitmaps as lossless WebP, which drops the colour of fully transparent pixels: the
// library's container of such a PNG does not rebuild it, and the encoder must not hand it out.
TEST(Preflate, EncoderRefusesAContainerThatDoesNotRebuild) {
  const Bytes png = test::sample("rgba-clear-96x72.png");
  LimitedVec out(1 << 20);
  auto raw = run_encoder(ixo_preflate_encode, png, out);
  ASSERT_TRUE(raw.has_value());
  auto rebuilt = decode_preflate(*raw, png.size());
  EXPECT_FALSE(rebuilt && *rebuilt == png);
  EXPECT_FALSE(encode_preflate(png).has_value());
}

// Several MiB of streams: the container is fed and drained in many 1 MiB pieces.
TEST(Preflate, LargeStreamsRoundTrip) {
  const Bytes text = test::text_like(3 << 20, 11);
  for (int level : {1, 6, 9}) expect_round_trip(test::gzip_of(text, level), "gzip level " + std::to_string(level));
  // Two gzip members, one after the other.
  Bytes two = test::gzip_of(test::text_like(1 << 20, 1), 6);
  const Bytes second = test::gzip_of(test::text_like(3 << 20, 2), 6);
  two.insert(two.end(), second.begin(), second.end());
  expect_round_trip(two, "two members");
}

TEST(Preflate, FileWithoutStreamsIsNotWorthKeeping) {
  const Bytes plain = test::text_like(100000, 3);
  auto container = encode_preflate(plain);
  ASSERT_TRUE(container.has_value());
  EXPECT_FALSE(preflate_worth_keeping(plain.size(), container->size()));
  auto rebuilt = decode_preflate(*container, plain.size());
  ASSERT_TRUE(rebuilt) << rebuilt.error().to_string();
  EXPECT_TRUE(*rebuilt == plain);
  EXPECT_FALSE(encode_preflate(Bytes{}).has_value());
}

TEST(Preflate, ContainersAroundThePieceSize) {
  const size_t piece = 1 << 20;
  struct Case {
    const char* name;
    std::vector<size_t> literal_lengths;
  } cases[] = {
      // One literal of n bytes takes 1 + 1 + 3 + n bytes.
      {"exactly one piece", {piece - 5}},
      {"one byte past one piece", {piece - 4}},
      {"a segment header across the boundary", {piece - 7, 300}},
      {"many small segments", std::vector<size_t>(3000, 1000)},
  };
  for (const auto& c : cases) {
    std::vector<Bytes> pieces;
    Bytes expected;
    for (size_t n : c.literal_lengths) {
      pieces.push_back(test::text_like(n, uint32_t(n)));
      expected.insert(expected.end(), pieces.back().begin(), pieces.back().end());
    }
    const Bytes container = literal_container(pieces);
    if (std::string(c.name) == "exactly one piece") {
      EXPECT_EQ(container.size(), piece);
    } else if (std::string(c.name) == "one byte past one piece") {
      EXPECT_EQ(container.size(), piece + 1);
    }
    auto rebuilt = decode_preflate(container, expected.size());
    ASSERT_TRUE(rebuilt) << c.name << ": " << rebuilt.error().to_string();
    EXPECT_TRUE(*rebuilt == expected) << c.name;
  }
}

TEST(Preflate, OutputIsBoundedByTheFileSize) {
  const Bytes gz = test::sample("text-9.gz");
  const Bytes container = encode_preflate(gz).value_or(Bytes{});
  auto exact = decode_preflate(container, gz.size());
  ASSERT_TRUE(exact) << exact.error().to_string();
  EXPECT_TRUE(*exact == gz);
  for (uint64_t size : {uint64_t(gz.size() - 1), uint64_t(1), uint64_t(0)}) {
    const std::string text = failure_of(decode_preflate(container, size));
    EXPECT_NE(text.find("transform output exceeds limit"), std::string::npos) << text;
  }
  // A literal container one byte longer than the file.
  const Bytes literal = literal_container({Bytes(5000, 'x')});
  EXPECT_EQ(failure_of(decode_preflate(literal, 5000)), "ok");
  EXPECT_NE(failure_of(decode_preflate(literal, 4999)).find("transform output exceeds limit"), std::string::npos);
}

TEST(Preflate, DamagedContainersGiveTheLibrarysText) {
  const Bytes literal = literal_container({Bytes(100, 'x')});
  struct Case {
    const char* name;
    Bytes stored;
    const char* text;  // a part of the library's message
  } cases[] = {
      {"empty", {}, "ShortRead"},
      {"unknown version", {2, 0, 1, 'x'}, "Invalid version 2"},
      {"unknown segment", {1, 9, 0}, "Invalid chunk"},
      {"literal cut short", Bytes(literal.begin(), literal.end() - 1), "unexpected end of input"},
      {"deflate stream cut short", {1, 1, 10, 10, 1, 2, 3}, "unexpected end of input"},
  };
  for (const auto& c : cases) {
    const std::string text = failure_of(decode_preflate(c.stored, 1000));
    EXPECT_NE(text.find(c.text), std::string::npos) << c.name << ": " << text;
    EXPECT_NE(text.find("exit_code: "), std::string::npos) << c.name << ": " << text;  // the Debug form
  }
}

TEST(Preflate, LibraryErrorsCarryNoLocalPath) {
  const std::string text = failure_of(decode_preflate(Bytes{1, 9, 0}, 10));
  EXPECT_NE(text.find("preflate-rs-0.7.1/src/"), std::string::npos) << text;
  const char* home = std::getenv("HOME");
  if (home && *home) {
    EXPECT_EQ(text.find(home), std::string::npos) << text;
  }
  EXPECT_EQ(text.find(IXO_SOURCE_DIR), std::string::npos) << text;
  EXPECT_EQ(text.find("registry"), std::string::npos) << text;
}

// A PNG segment whose image size in the header would have the library size tables far beyond the container.
Bytes png_segment(uint32_t width, uint32_t height, size_t filter_bytes) {
  Bytes out = {1, 2};
  varint(out, 0);                    // corrections
  varint(out, 0);                    // plain text
  varint(out, 0);                    // no IDAT chunk sizes
  out.insert(out.end(), {0x78, 0x9C, 0, 0, 0, 1});  // zlib header and Adler-32
  out.push_back(2);                  // RGB
  varint(out, width);
  varint(out, height);
  out.insert(out.end(), filter_bytes, 0);
  return out;
}

TEST(Preflate, PngImageSizesAreMeasuredAgainstTheContainer) {
  struct Case {
    const char* name;
    Bytes stored;
    const char* text;
  } cases[] = {
      {"height of 2^32 - 1", png_segment(16, 0xFFFFFFFF, 10), "PNG filter rows reach past the end of the container"},
      {"height one past the container", png_segment(16, 11, 10), "PNG filter rows reach past the end"},
      {"width beyond WebP", png_segment(0xFFFFFFF0, 8, 8), "larger than a WebP image can be"},
      {"height beyond WebP", png_segment(8, 16384, 20000), "larger than a WebP image can be"},
      // Within bounds the library itself decides.
      {"plausible sizes", png_segment(4, 8, 8), "Webp decode failed"},
  };
  for (const auto& c : cases) {
    const std::string text = failure_of(decode_preflate(c.stored, 1 << 20));
    EXPECT_NE(text.find(c.text), std::string::npos) << c.name << ": " << text;
  }
}

}  // namespace
}  // namespace ixo::transform
