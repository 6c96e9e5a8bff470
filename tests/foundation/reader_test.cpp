#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "format/reader.h"

namespace ixo::format {
namespace {

using Bytes = std::vector<uint8_t>;

void expect_truncated(const Error& e) {
  EXPECT_EQ(e.kind(), ErrorKind::InvalidData);
  EXPECT_EQ(e.to_string(), "archive metadata is truncated");
}

TEST(Reader, NumbersAreLittleEndian) {
  const Bytes data{0x7f, 0x01, 0x02, 0x03, 0x04, 0xf8, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                   0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};
  Reader r(data);
  EXPECT_EQ(r.u8().value(), 0x7f);
  EXPECT_EQ(r.u32().value(), 0x04030201u);
  EXPECT_EQ(r.i64().value(), -8);
  EXPECT_EQ(r.u64().value(), 0xfedcba9876543210u);
  EXPECT_TRUE(r.at_end());
  EXPECT_EQ(r.pos(), data.size());
}

TEST(Reader, ReadsPastTheEndAreTruncatedAndLeaveThePosition) {
  const Bytes three{1, 2, 3};
  Reader r3(three);
  auto v = r3.u32();
  ASSERT_FALSE(v.has_value());
  expect_truncated(v.error());
  EXPECT_EQ(r3.pos(), 0u);
  EXPECT_FALSE(r3.i64().has_value());
  EXPECT_EQ(r3.take(2).value().size(), 2u);  // what fits is still readable

  const Bytes four{1, 2, 3, 4};
  Reader r4(four);
  EXPECT_EQ(r4.u32().value(), 0x04030201u);
  auto b = r4.u8();
  ASSERT_FALSE(b.has_value());
  expect_truncated(b.error());
}

TEST(Reader, TakeChecksTheEndWithoutWrapping) {
  const Bytes data{1, 2, 3, 4, 5};
  Reader r(data);
  ASSERT_TRUE(r.take(3).has_value());
  for (uint64_t n : {uint64_t{3}, UINT64_MAX, UINT64_MAX - 2, uint64_t{1} << 63}) {
    SCOPED_TRACE(n);
    auto t = r.take(n);
    ASSERT_FALSE(t.has_value());
    expect_truncated(t.error());
    EXPECT_EQ(r.pos(), 3u);
  }
  auto rest = r.take(2);
  ASSERT_TRUE(rest.has_value());
  EXPECT_EQ((*rest)[0], 4);
  EXPECT_EQ(rest->data(), data.data() + 3);  // a view into the data, not a copy
  auto none = r.take(0);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
  EXPECT_TRUE(r.at_end());
}

TEST(Reader, TakeZeroOfEmptyData) {
  Reader r(std::span<const uint8_t>{});
  EXPECT_TRUE(r.take(0).has_value());
  EXPECT_FALSE(r.u8().has_value());
}

TEST(ReaderStr, LengthThenText) {
  const Bytes data{0, 0, 0, 0, 5, 0, 0, 0, 'h', 0xc3, 0xa9, 'l', 'o', 'x'};
  Reader r(data);
  EXPECT_EQ(r.str().value(), "");
  EXPECT_EQ(r.str().value(), "h\xc3\xa9lo");
  EXPECT_EQ(r.pos(), 13u);
}

TEST(ReaderStr, HugeLengthIsTestedBeforeAnythingIsTaken) {
  Bytes data{0xff, 0xff, 0xff, 0xff};
  data.resize(14, 'a');
  Reader r(data);
  auto s = r.str();
  ASSERT_FALSE(s.has_value());
  expect_truncated(s.error());

  const Bytes short_len{3, 0, 0};
  Reader r2(short_len);
  ASSERT_FALSE(r2.str().has_value());
  expect_truncated(Reader(short_len).str().error());
}

TEST(ReaderStr, BytesThatAreNotUtf8AreRefused) {
  const std::vector<Bytes> bad = {
      {0xc3, 0x28},              // a lead byte followed by no continuation
      {0xc3},                    // a sequence cut at the end
      {'a', 0xe2, 0x82},         // likewise, three bytes long
      {0x80},                    // a lone continuation byte
      {0xc0, 0x80},              // an overlong NUL
      {0xe0, 0x80, 0xaf},        // an overlong '/'
      {0xed, 0xa0, 0x80},        // a surrogate
      {0xf4, 0x90, 0x80, 0x80},  // past U+10FFFF
      {0xf8, 0x88, 0x80, 0x80, 0x80},
      {0xff},
  };
  for (const Bytes& text : bad) {
    Bytes data{static_cast<uint8_t>(text.size()), 0, 0, 0};
    data.insert(data.end(), text.begin(), text.end());
    Reader r(data);
    auto s = r.str();
    ASSERT_FALSE(s.has_value()) << testing::PrintToString(text);
    EXPECT_EQ(s.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(s.error().to_string(), "file name is not UTF-8");
  }
}

TEST(ReaderStr, EveryValidFormIsAccepted) {
  const std::vector<std::string> good = {
      "plain/ascii.txt", "\x7f", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
      "\xef\xbf\xbf",    "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", std::string("a\0b", 3),
  };
  for (const std::string& text : good) {
    Bytes data{static_cast<uint8_t>(text.size()), 0, 0, 0};
    data.insert(data.end(), text.begin(), text.end());
    auto s = Reader(data).str();
    ASSERT_TRUE(s.has_value()) << testing::PrintToString(text);
    EXPECT_EQ(*s, text);
  }
}

}  // namespace
}  // namespace ixo::format
