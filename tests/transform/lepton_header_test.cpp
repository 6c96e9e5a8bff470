#include "transform/lepton_header.h"

#include <gtest/gtest.h>

#include <string>

#include "sample_files.h"

namespace ixo::transform {
namespace {

using test::Bytes;

constexpr const char* DAMAGED = "JPEG reconstruction failed: damaged Lepton header";

Bytes u32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes cat_bytes(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// 24 bytes of fixed fields, the u32 length of the compressed header, the compressed header, then tail.
Bytes container_with(const Bytes& compressed, const Bytes& tail = {}) {
  return cat_bytes({Bytes(24, 0xAB), u32(uint32_t(compressed.size())), compressed, tail});
}
Bytes container(const Bytes& inflated_header, const Bytes& tail = {}) {
  return container_with(test::zlib_of(inflated_header), tail);
}

// "HDR" with an n-byte body.
Bytes hdr(uint32_t n) { return cat_bytes({text("HDR"), u32(n), Bytes(n, 0x11)}); }

Bytes with_last_byte_flipped(Bytes z) {
  if (!z.empty()) z[z.size() - 1] ^= 1;
  return z;
}

// The zlib header of z with its preset-dictionary flag set (and its check bits made right again).
Bytes with_dictionary_flag(Bytes z) {
  z[1] = uint8_t((z[1] & 0xC0) | 0x20);
  z[1] = uint8_t(z[1] | (31 - (z[0] * 256 + z[1]) % 31) % 31);
  return z;
}

std::string check(const Bytes& stored, uint64_t size = 1 << 20) {
  auto r = check_lepton_header(stored, size);
  if (r) return "ok";
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
  return r.error().to_string();
}

TEST(LeptonHeader, FixedPartMustHoldTheCompressedHeader) {
  EXPECT_EQ(check(Bytes(27, 0)), DAMAGED);
  const Bytes good = container(hdr(0));
  EXPECT_EQ(check(good), "ok");
  // H one past the end; and H pointing far past it, near the top of 32 bits.
  Bytes past = good;
  past[24] = uint8_t(past.size() - 28 + 1);
  EXPECT_EQ(check(past), DAMAGED);
  Bytes far = cat_bytes({Bytes(24, 0), u32(0xFFFFFFF0), Bytes(8, 0)});
  EXPECT_EQ(check(far), DAMAGED);
  // Image data after the compressed header is not the check's business.
  EXPECT_EQ(check(container(hdr(0), Bytes(1000, 0xEE))), "ok");
}

TEST(LeptonHeader, CompressedHeaderMustInflate) {
  const Bytes z = test::zlib_of(hdr(40));
  EXPECT_EQ(check(container_with(z)), "ok");
  struct Case {
    const char* name;
    Bytes compressed;
  } cases[] = {
      {"empty", {}},
      {"raw bytes", text("HDR\0\0\0\0")},
      {"cut short", Bytes(z.begin(), z.end() - 5)},
      {"checksum wrong", with_last_byte_flipped(z)},
      {"preset dictionary asked for", with_dictionary_flag(z)},
  };
  for (const auto& c : cases) EXPECT_EQ(check(container_with(c.compressed)), DAMAGED) << c.name;
  // Bytes after the end of the zlib stream, inside H, are left alone.
  EXPECT_EQ(check(container_with(cat_bytes({z, text("junk")}))), "ok");
}

TEST(LeptonHeader, InflatedHeaderIsBoundedByTheFileSize) {
  // 2 x size + 65536 bytes pass; one more fails.
  const uint64_t size = 1000;
  const uint32_t limit_body = uint32_t(2 * size + 65536 - 7);
  EXPECT_EQ(check(container(hdr(limit_body)), size), "ok");
  EXPECT_EQ(check(container(hdr(limit_body + 1)), size), DAMAGED);
  EXPECT_EQ(check(container(hdr(65536 - 7)), 0), "ok");
  EXPECT_EQ(check(container(hdr(65536 - 6)), 0), DAMAGED);
  // A huge size saturates instead of wrapping to a small bound.
  EXPECT_EQ(check(container(hdr(100)), UINT64_MAX), "ok");
  EXPECT_EQ(check(container(hdr(100)), UINT64_MAX / 2), "ok");
}

TEST(LeptonHeader, SectionWalk) {
  const Bytes h = hdr(2);
  struct Case {
    const char* name;
    Bytes inflated;
    bool ok;
  } cases[] = {
      {"nothing", {}, false},
      {"HDR alone", text("HDR"), false},
      {"HDR with a cut length", text("HDR\x01\x00"), false},
      {"HDR with an empty body", hdr(0), true},
      {"HDR body cut short", cat_bytes({text("HDR"), u32(5), Bytes(4, 0)}), false},
      {"not HDR first", cat_bytes({text("HDX"), u32(0)}), false},
      {"one trailing byte", cat_bytes({h, text("P")}), true},
      {"two trailing bytes", cat_bytes({h, text("P0")}), true},
      {"pad bit", cat_bytes({h, text("P0D"), {1}}), true},
      {"pad bit missing", cat_bytes({h, text("P0D")}), false},
      {"letter O for zero", cat_bytes({h, text("POD"), {1}}), false},
      {"restarts", cat_bytes({h, text("CRS"), u32(2), Bytes(8, 0)}), true},
      {"restarts cut short", cat_bytes({h, text("CRS"), u32(2), Bytes(7, 0)}), false},
      {"restart count of 2^32 - 1", cat_bytes({h, text("CRS"), u32(0xFFFFFFFF), Bytes(8, 0)}), false},
      {"early end", cat_bytes({h, text("EEE"), Bytes(28, 0)}), true},
      {"early end cut short", cat_bytes({h, text("EEE"), Bytes(27, 0)}), false},
      {"restart errors", cat_bytes({h, text("FRS"), u32(3), Bytes(3, 0)}), true},
      {"garbage", cat_bytes({h, text("GRB"), u32(5), text("abcde")}), true},
      {"garbage cut short", cat_bytes({h, text("GRB"), u32(6), text("abcde")}), false},
      {"garbage length cut short", cat_bytes({h, text("GRB"), {5, 0, 0}}), false},
      {"two handoffs", cat_bytes({h, text("HH"), {2}, Bytes(32, 0)}), true},
      {"two handoffs cut short", cat_bytes({h, text("HH"), {2}, Bytes(31, 0)}), false},
      {"no handoffs", cat_bytes({h, text("HH"), {0}}), true},
      {"255 handoffs", cat_bytes({h, text("HH"), {255}, Bytes(255 * 16, 0)}), true},
      {"unknown tag", cat_bytes({h, text("XYZ"), Bytes(8, 0)}), false},
      {"second HDR", cat_bytes({h, hdr(0)}), false},
      {"everything in a row",
       cat_bytes({h, text("P0D"), {0}, text("HH"), {1}, Bytes(16, 0), text("CRS"), u32(1), Bytes(4, 0),
                  text("FRS"), u32(0), text("EEE"), Bytes(28, 0), text("GRB"), u32(2), text("\xFF\xD9"), {7}}),
       true},
  };
  for (const auto& c : cases) EXPECT_EQ(check(container(c.inflated)), c.ok ? "ok" : DAMAGED) << c.name;
}

}  // namespace
}  // namespace ixo::transform
