#include "transform/bcj_x86.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <random>

#include "transform/slots.h"

namespace ixo::transform {
namespace {

using Bytes = std::vector<uint8_t>;

struct Case {
  const char* name;
  Bytes plain;
  Bytes converted;
  uint64_t count;
};

// Hand-checked against the conversion's rules: position + 5 is added to an allowed operand whose top byte is a
// sign byte; a sign byte or opcode just before changes what is allowed.
const std::vector<Case> CASES = {
    {"call at 0", {0xE8, 0, 0, 0, 0}, {0xE8, 0x05, 0, 0, 0}, 1},
    {"jmp at 0", {0xE9, 0x10, 0, 0, 0}, {0xE9, 0x15, 0, 0, 0}, 1},
    {"top byte not a sign byte", {0xE8, 0x10, 0, 0, 0x01}, {0xE8, 0x10, 0, 0, 0x01}, 0},
    {"two calls back to back",
     {0xE8, 0, 0, 0, 0, 0xE8, 0, 0, 0, 0},
     {0xE8, 0x05, 0, 0, 0, 0xE8, 0x0A, 0, 0, 0},
     2},
    {"negative target", {0x90, 0xE8, 0xF0, 0xFF, 0xFF, 0xFF}, {0x90, 0xE8, 0xF6, 0xFF, 0xFF, 0xFF}, 1},
    {"target crossing zero", {0xE8, 0xFD, 0xFF, 0xFF, 0xFF}, {0xE8, 0x02, 0, 0, 0}, 1},
    {"opcode in the last four bytes", {0x90, 0xE8, 0, 0, 0}, {0x90, 0xE8, 0, 0, 0}, 0},
    // Two refused opcodes just before make the third's operand not allowed, though its top byte is 00.
    {"refused opcodes shadow the next", {0xE8, 0xE8, 0xE8, 0, 0x12, 0x34, 0}, {0xE8, 0xE8, 0xE8, 0, 0x12, 0x34, 0}, 0},
    {"the same operand alone", {0x90, 0x90, 0xE8, 0, 0x12, 0x34, 0}, {0x90, 0x90, 0xE8, 0x07, 0x12, 0x34, 0}, 1},
    // After one refused opcode a result whose third byte is a sign byte is converted once more.
    {"second round of the operand loop", {0xE8, 0xE8, 0xFA, 0xFF, 0xFE, 0}, {0xE8, 0xE8, 0x05, 0, 0x01, 0}, 1},
};

TEST(BcjX86, ConvertsTheCasesAndBack) {
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    Bytes buf = c.plain;
    EXPECT_EQ(bcj_x86(buf, true), c.count);
    EXPECT_EQ(buf, c.converted);
    EXPECT_EQ(bcj_x86(buf, false), c.count);
    EXPECT_EQ(buf, c.plain);
  }
}

TEST(BcjX86, ShortBuffersStayAsTheyAre) {
  for (size_t n = 0; n < 5; ++n) {
    Bytes buf(n, 0xE8);
    EXPECT_EQ(bcj_x86(buf, true), 0u);
    EXPECT_EQ(buf, Bytes(n, 0xE8));
    EXPECT_FALSE(encode_bcj_x86(buf).has_value());
    auto decoded = decode_bcj_x86(buf, 12345);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, buf);
  }
}

TEST(BcjX86, EncoderGivesNothingWithoutAConvertedOperand) {
  EXPECT_FALSE(encode_bcj_x86(Bytes{0xE8, 0x10, 0, 0, 0x01}).has_value());
  EXPECT_FALSE(encode_bcj_x86(Bytes(100, 0x90)).has_value());
  auto encoded = encode_bcj_x86(Bytes{0xE8, 0, 0, 0, 0});
  ASSERT_TRUE(encoded);
  EXPECT_EQ(*encoded, (Bytes{0xE8, 0x05, 0, 0, 0}));
}

// Buffers dense in opcodes and sign bytes reach every state of the mask; decoding must undo encoding exactly.
TEST(BcjX86, DecodingUndoesEncodingForAnyInput) {
  std::mt19937 rng(1);
  const uint8_t alphabet[] = {0xE8, 0xE9, 0x00, 0xFF, 0x0F, 0x80, 0x12, 0x90};
  for (int round = 0; round < 2000; ++round) {
    Bytes plain(rng() % 64);
    for (auto& b : plain) b = rng() % 3 == 0 ? uint8_t(rng()) : alphabet[rng() % std::size(alphabet)];
    Bytes buf = plain;
    const uint64_t encoded = bcj_x86(buf, true);
    const uint64_t decoded = bcj_x86(buf, false);
    ASSERT_EQ(buf, plain) << "round " << round;
    EXPECT_EQ(encoded, decoded);
  }
}

Bytes this_program() {
  FILE* f = std::fopen("/proc/self/exe", "rb");
  EXPECT_NE(f, nullptr);
  Bytes exe;
  uint8_t buf[65536];
  for (size_t n; f && (n = std::fread(buf, 1, sizeof buf, f)) > 0;) exe.insert(exe.end(), buf, buf + n);
  if (f) std::fclose(f);
  return exe;
}

// What xz's own x86 filter makes of data: data through the filter and LZMA2, then LZMA2 alone undone.
Bytes xz_x86_filter(const Bytes& data) {
  lzma_options_lzma lzma2;
  EXPECT_FALSE(lzma_lzma_preset(&lzma2, 0));
  const lzma_filter both[] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &lzma2}, {LZMA_VLI_UNKNOWN, nullptr}};
  const lzma_filter last[] = {{LZMA_FILTER_LZMA2, &lzma2}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes packed(data.size() + data.size() / 2 + 4096);
  size_t packed_len = 0;
  EXPECT_EQ(lzma_raw_buffer_encode(both, nullptr, data.data(), data.size(), packed.data(), &packed_len,
                                   packed.size()),
            LZMA_OK);
  Bytes out(data.size());
  size_t in_pos = 0, out_pos = 0;
  EXPECT_EQ(lzma_raw_buffer_decode(last, nullptr, packed.data(), &in_pos, packed_len, out.data(), &out_pos,
                                   out.size()),
            LZMA_OK);
  out.resize(out_pos);
  return out;
}

TEST(BcjX86, EncodingMatchesXzsFilter) {
  std::mt19937 rng(2);
  const uint8_t alphabet[] = {0xE8, 0xE9, 0x00, 0xFF, 0x0F, 0x80, 0x12, 0x90};
  for (int round = 0; round < 300; ++round) {
    Bytes plain(5 + rng() % 200);
    for (auto& b : plain) b = rng() % 3 == 0 ? uint8_t(rng()) : alphabet[rng() % std::size(alphabet)];
    Bytes ours = plain;
    bcj_x86(ours, true);
    ASSERT_EQ(ours, xz_x86_filter(plain)) << "round " << round;
  }
  Bytes exe = this_program();
  exe.resize(std::min<size_t>(exe.size(), 4 << 20));  // plenty of machine code, quickly
  Bytes ours = exe;
  bcj_x86(ours, true);
  EXPECT_TRUE(ours == xz_x86_filter(exe));
}

// Real machine code: this test program itself.
TEST(BcjX86, RealExecutableRoundTrips) {
  const Bytes exe = this_program();
  ASSERT_TRUE(is_x86_executable(exe));
  auto encoded = encode_bcj_x86(exe);
  ASSERT_TRUE(encoded);
  EXPECT_NE(*encoded, exe);
  EXPECT_EQ(encoded->size(), exe.size());
  auto decoded = decode_bcj_x86(*encoded, exe.size());
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(*decoded == exe);
}

}  // namespace
}  // namespace ixo::transform
