#include "archive/segment.h"

#include <gtest/gtest.h>

#include "byte_builder.h"

namespace ixo::pack {
namespace {

std::array<uint8_t, 4> magic(char digit) { return {'I', 'X', 'O', static_cast<uint8_t>(digit)}; }

TEST(SegmentVersion, PairingOfHeaderAndFooterMagic) {
  // Rows: header versions 1 to 7; columns: magics "IXO2" to "IXO7"; 0 marks a damaged footer.
  const uint16_t table[7][6] = {
      {1, 3, 0, 0, 0, 0},  // 1: its own version under "IXO2", or 3
      {2, 3, 0, 0, 0, 0},  // 2
      {0, 3, 0, 0, 0, 0},  // 3: only 3
      {0, 0, 4, 0, 0, 0},  // from 4 on, exactly the header's version
      {0, 0, 0, 5, 0, 0},
      {0, 0, 0, 0, 6, 0},
      {0, 0, 0, 0, 0, 7},
  };
  for (uint16_t h = 1; h <= 7; ++h) {
    for (char d = '2'; d <= '7'; ++d) {
      const auto got = segment_version(h, magic(d));
      EXPECT_EQ(got.value_or(0), table[h - 1][d - '2']) << "header " << h << " magic IXO" << d;
    }
  }
  for (char d : {'0', '1', '8', '9'})
    for (uint16_t h = 1; h <= 7; ++h) EXPECT_FALSE(segment_version(h, magic(d)));
  EXPECT_FALSE(segment_version(7, {'I', 'X', 'P', '7'}));
  EXPECT_FALSE(segment_version(7, {'i', 'x', 'o', '7'}));
}

TEST(Footer, DecodesItsFields) {
  test::bytes::Builder b;
  b.u64(0x1122334455667788).u64(9).u64(10);
  for (uint8_t i = 0; i < 16; ++i) b.u8(i);
  b.raw("IXO5");
  std::array<uint8_t, FOOTER_BYTES> raw{};
  std::copy(b.data().begin(), b.data().end(), raw.begin());
  const Footer f = Footer::decode(raw);
  EXPECT_EQ(f.index_offset, 0x1122334455667788u);
  EXPECT_EQ(f.stored_len, 9u);
  EXPECT_EQ(f.raw_len, 10u);
  EXPECT_EQ(f.digest[15], 15);
  EXPECT_EQ(f.magic, magic('5'));
}

TEST(IndexLocation, FiveTests) {
  constexpr uint64_t G4 = uint64_t{1} << 32;
  struct Case {
    const char* name;
    uint64_t index_offset, stored_len, raw_len, end;
    bool ok;
  };
  const Case cases[] = {
      {"ends at the footer", 8, 100, 100, 152, true},
      {"one byte into the footer", 8, 101, 100, 152, false},
      {"index offset 7", 7, 1, 1, 100, false},
      {"index offset 8", 8, 1, 1, 100, true},
      {"stored 2^32", 8, G4, 1, G4 + 52, true},
      {"stored 2^32 + 1", 8, G4 + 1, 1, G4 + 53, false},
      {"raw 2^32", 8, 1, G4, 100, true},
      {"raw 2^32 + 1", 8, 1, G4 + 1, 100, false},
      {"offset and length wrap", UINT64_MAX - 1, 4, 1, UINT64_MAX, false},
  };
  for (const Case& c : cases) {
    Footer f;
    f.index_offset = c.index_offset;
    f.stored_len = c.stored_len;
    f.raw_len = c.raw_len;
    EXPECT_EQ(index_location_ok(f, c.end), c.ok) << c.name;
  }
}

}  // namespace
}  // namespace ixo::pack
