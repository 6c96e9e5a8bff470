// The archiver-side slots of the rows: detectors and keep tests, and the rows' wiring.
#include <gtest/gtest.h>

#include "transform/registry.h"
#include "transform/slots.h"

namespace ixo::transform {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes with_tail(Bytes head, size_t length) {
  head.resize(length, 0);
  return head;
}

// An ELF header: class, data (byte 5) and machine (u16 at 18) as given.
Bytes elf(uint8_t data_byte, uint16_t machine, size_t length = 64) {
  Bytes b = with_tail({0x7F, 'E', 'L', 'F', 2, data_byte}, length);
  if (length >= 20) {
    b[18] = uint8_t(machine);
    b[19] = uint8_t(machine >> 8);
  }
  return b;
}

// An MZ file whose PE header offset (u32 at 60) is e, with "PE\0\0" and machine there when they fit in length.
Bytes pe(uint32_t e, uint16_t machine, size_t length) {
  Bytes b = with_tail({'M', 'Z'}, length);
  if (length >= 64) {
    for (int i = 0; i < 4; ++i) b[60 + i] = uint8_t(e >> (8 * i));
  }
  const uint8_t sig[6] = {'P', 'E', 0, 0, uint8_t(machine), uint8_t(machine >> 8)};
  for (size_t i = 0; i < 6 && e + i < length; ++i) b[e + i] = sig[i];
  return b;
}

TEST(Detectors, Jpeg) {
  EXPECT_FALSE(is_jpeg(Bytes{}));
  EXPECT_FALSE(is_jpeg(Bytes{0xFF, 0xD8}));
  EXPECT_TRUE(is_jpeg(Bytes{0xFF, 0xD8, 0xFF}));
  EXPECT_FALSE(is_jpeg(Bytes{0xFF, 0xD9, 0xFF, 0xE0}));
}

TEST(Detectors, MayContainDeflate) {
  const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  struct Case {
    const char* name;
    Bytes data;
    bool expected;
  } cases[] = {
      {"empty", {}, false},
      {"one gzip byte", {0x1F}, false},
      {"gzip magic alone", {0x1F, 0x8B}, true},
      {"three bytes of gzip", {0x1F, 0x8B, 0x08}, true},
      {"three other bytes", {0x50, 0x4B, 0x03}, false},
      {"PDF magic", {'%', 'P', 'D', 'F'}, true},
      {"ZIP local header", {0x50, 0x4B, 0x03, 0x04}, true},
      {"ZIP local header and more", {0x50, 0x4B, 0x03, 0x04, 1, 2, 3, 4, 5}, true},
      {"ZIP central header", {0x50, 0x4B, 0x01, 0x02}, false},
      {"PNG signature", png, true},
      {"seven bytes of the PNG signature", Bytes(png.begin(), png.begin() + 7), false},
      {"gzip in a longer file", {0x1F, 0x8B, 0x08, 0x00, 0, 0}, true},
      {"text", {'h', 'e', 'l', 'l', 'o'}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(may_contain_deflate(c.data), c.expected) << c.name;
}

TEST(Detectors, X86Executable) {
  struct Case {
    const char* name;
    Bytes data;
    bool expected;
  } cases[] = {
      {"ELF i386", elf(1, 3), true},
      {"ELF x86-64", elf(1, 62), true},
      {"ELF ARM", elf(1, 40), false},
      {"big-endian ELF", elf(2, 62), false},
      {"ELF header of 20 bytes", elf(1, 62, 20), true},
      {"ELF header of 19 bytes", elf(1, 62, 19), false},
      {"ELF magic alone", {0x7F, 'E', 'L', 'F'}, false},
      {"PE i386", pe(64, 0x014C, 128), true},
      {"PE AMD64", pe(128, 0x8664, 134), true},
      {"PE ARM64", pe(64, 0xAA64, 128), false},
      {"PE header ending past the data", pe(128, 0x8664, 133), false},
      {"MZ shorter than 64 bytes", pe(40, 0x8664, 63), false},
      {"MZ without PE signature", with_tail({'M', 'Z'}, 200), false},
      {"PE offset near the top of 32 bits", pe(0xFFFFFFFF, 0x8664, 100), false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_x86_executable(c.data), c.expected) << c.name;
}

TEST(KeepTests, Thresholds) {
  EXPECT_TRUE(jpeg_worth_keeping(1000, 967));
  EXPECT_FALSE(jpeg_worth_keeping(1000, 968));
  EXPECT_FALSE(jpeg_worth_keeping(10, 0));
  EXPECT_FALSE(jpeg_worth_keeping(1000, UINT64_MAX - 10));  // no wrap-around
  EXPECT_TRUE(preflate_worth_keeping(1600, 1700));
  EXPECT_FALSE(preflate_worth_keeping(1600, 1699));
  EXPECT_TRUE(preflate_worth_keeping(0, 0));
  EXPECT_FALSE(preflate_worth_keeping(UINT64_MAX - 5, 10));  // no wrap-around
  EXPECT_TRUE(bcj_x86_worth_keeping(0, 0));
  EXPECT_TRUE(bcj_x86_worth_keeping(100, 100));
}

TEST(Registry, RowsCarryTheirOwnOperations) {
  const TransformSpec* jpeg = find(TRANSFORM_JPEG);
  const TransformSpec* preflate = find(TRANSFORM_PREFLATE);
  const TransformSpec* bcj = find(TRANSFORM_BCJ_X86);
  ASSERT_TRUE(jpeg && preflate && bcj);
  EXPECT_EQ(jpeg->decode, &decode_jpeg);
  EXPECT_EQ(jpeg->detect, &is_jpeg);
  EXPECT_EQ(jpeg->encode, &encode_jpeg);
  EXPECT_EQ(jpeg->worth_keeping, &jpeg_worth_keeping);
  EXPECT_EQ(preflate->decode, &decode_preflate);
  EXPECT_EQ(preflate->detect, &may_contain_deflate);
  EXPECT_EQ(preflate->encode, &encode_preflate);
  EXPECT_EQ(preflate->worth_keeping, &preflate_worth_keeping);
  EXPECT_EQ(bcj->decode, &decode_bcj_x86);
  EXPECT_EQ(bcj->detect, &is_x86_executable);
  EXPECT_EQ(bcj->encode, &encode_bcj_x86);
  EXPECT_EQ(bcj->worth_keeping, &bcj_x86_worth_keeping);
  EXPECT_EQ(find(0), nullptr);
  EXPECT_EQ(find(4), nullptr);
}

}  // namespace
}  // namespace ixo::transform
