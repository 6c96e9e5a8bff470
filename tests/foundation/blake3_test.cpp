#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "util/blake3.h"

namespace ixo::blake3 {
namespace {

std::string hex(const Digest& d) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

// 5000 bytes i % 251: five 1 KiB chunks, the last one partial; digest from b3sum.
std::vector<uint8_t> multi_chunk() {
  std::vector<uint8_t> v(5000);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i % 251);
  return v;
}

const struct {
  const char* name;
  std::vector<uint8_t> input;
  const char* digest;
} KNOWN[] = {
    {"empty", {}, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"},
    {"abc", bytes("abc"), "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85"},
    {"5000 bytes", multi_chunk(), "ee78d92070de3df1c57c37002abf0a6b1a6589acdeef4d8ffac7cf3d9e8f2836"},
};

TEST(Blake3, OneShotKnownDigests) {
  for (const auto& k : KNOWN) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(hex(hash(k.input)), k.digest);
  }
  EXPECT_EQ(hex(empty_digest()), KNOWN[0].digest);
}

TEST(Blake3, IncrementalInPiecesOfEverySize) {
  for (const auto& k : KNOWN) {
    for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{1023}, size_t{1024}, size_t{4096}}) {
      SCOPED_TRACE(std::string(k.name) + " in pieces of " + std::to_string(piece));
      Hasher h;
      ASSERT_TRUE(h.ok());
      std::span<const uint8_t> rest(k.input);
      while (!rest.empty()) {
        const size_t n = std::min(piece, rest.size());
        h.update(rest.first(n));
        rest = rest.subspan(n);
      }
      EXPECT_EQ(hex(h.finalize()), k.digest);
      EXPECT_EQ(hex(h.finalize()), k.digest);  // finalizing does not consume the state
    }
  }
}

TEST(Blake3, ResetStartsOver) {
  Hasher h;
  h.update(bytes("something else first"));
  h.reset();
  h.update(bytes("ab"));
  h.update({});  // an empty update changes nothing
  h.update(bytes("c"));
  EXPECT_EQ(hex(h.finalize()), KNOWN[1].digest);
}

}  // namespace
}  // namespace ixo::blake3
