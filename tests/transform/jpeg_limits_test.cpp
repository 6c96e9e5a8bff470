// The decoder settings that bound a JPEG: 4096 pixels each way and 64 MiB, on the encoding side and, for
// containers made to claim more, on the decoding side.
#include <gtest/gtest.h>

#include <string>

#include "lepton_edit.h"
#include "sample_files.h"
#include "transform/slots.h"

namespace ixo::transform {
namespace {

using test::Bytes;

constexpr std::string_view PREFIX = "JPEG reconstruction failed: ";

std::string decoded(const Bytes& container, uint64_t size) {
  auto r = decode_jpeg(container, size);
  return r ? "ok" : r.error().to_string();
}

// The parts put back together; the container ends with its own length, which a new compressed header changes.
Bytes joined(const test::LeptonParts& parts) {
  Bytes out = test::join_lepton(parts);
  const uint32_t len = uint32_t(out.size());
  for (int i = 0; i < 4; ++i) out[out.size() - 4 + i] = uint8_t(len >> (8 * i));
  return out;
}

// The container with the frame header's height and width (big-endian, after the SOF marker's length and
// precision) replaced.
Bytes with_dimensions(const Bytes& container, uint16_t height, uint16_t width) {
  test::LeptonParts parts = test::split_lepton(container);
  Bytes& hdr = parts.sections.front().body;
  for (size_t i = 4; i + 9 <= hdr.size(); ++i) {
    if (hdr[i] != 0xFF || (hdr[i + 1] != 0xC0 && hdr[i + 1] != 0xC2)) continue;
    hdr[i + 5] = uint8_t(height >> 8);
    hdr[i + 6] = uint8_t(height);
    hdr[i + 7] = uint8_t(width >> 8);
    hdr[i + 8] = uint8_t(width);
    return joined(parts);
  }
  ADD_FAILURE() << "no frame header";
  return container;
}

TEST(JpegLimits, FourThousandNinetySixPixelsEachWay) {
  struct Case {
    int width, height;
  } cases[] = {{4096, 8}, {8, 4096}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    auto jpeg = test::cjpeg(test::ppm_picture(c.width, c.height, 3), {"-quality", "60"});
    if (!jpeg) GTEST_SKIP() << "cjpeg is not installed (libjpeg-turbo-progs)";
    auto container = encode_jpeg(*jpeg);
    ASSERT_TRUE(container.has_value());
    EXPECT_EQ(decoded(*container, jpeg->size()), "ok");

    // One pixel more, claimed by the container: the decoder refuses it before any image data.
    const bool wide = c.width == 4096;
    const std::string refused =
        decoded(with_dimensions(*container, uint16_t(wide ? c.height : 4097), uint16_t(wide ? 4097 : c.width)),
                jpeg->size());
    EXPECT_EQ(refused.rfind(PREFIX, 0), 0u) << refused;
    EXPECT_NE(refused.find("image dimensions larger than 4096x4096"), std::string::npos) << refused;
    EXPECT_EQ(decoded(with_dimensions(*container, uint16_t(c.height), uint16_t(c.width)), jpeg->size()), "ok")
        << "the edit alone changes nothing";

    // And the encoder takes no such picture.
    auto larger = test::cjpeg(test::ppm_picture(wide ? 4097 : c.width, wide ? c.height : 4097, 3), {"-quality", "60"});
    ASSERT_TRUE(larger.has_value());
    EXPECT_FALSE(encode_jpeg(*larger).has_value());
  }
}

TEST(JpegLimits, AContainerClaimingMoreThan64MiBIsRefused) {
  const Bytes jpeg = test::sample("baseline-320x240.jpg");
  auto container = encode_jpeg(jpeg);
  ASSERT_TRUE(container.has_value());
  test::LeptonParts parts = test::split_lepton(*container);
  const auto claiming = [&](uint32_t size) {
    for (int i = 0; i < 4; ++i) parts.fixed[20 + i] = uint8_t(size >> (8 * i));
    return joined(parts);
  };
  const std::string refused = decoded(claiming((64u << 20) + 1), jpeg.size());
  EXPECT_EQ(refused.rfind(PREFIX, 0), 0u) << refused;
  EXPECT_NE(refused.find("Only support images < 64 megs"), std::string::npos) << refused;
  EXPECT_EQ(decoded(claiming(uint32_t(jpeg.size())), jpeg.size()), "ok");
  // The size is only a claim here: exactly 64 MiB is accepted, and the JPEG rebuilds as it is.
  EXPECT_EQ(decoded(claiming(64u << 20), jpeg.size()), "ok");
}

}  // namespace
}  // namespace ixo::transform
