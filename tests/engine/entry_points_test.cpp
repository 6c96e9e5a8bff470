// The two C entry points: header checks, stored and modelled modes, statuses, threads.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "cm_encoder.h"
#include "crc32.h"
#include "ixo_cm.h"
#include "sample_data.h"

namespace ixo::cm {
namespace {

using testing::StreamMode;
using testing::stream_header;

std::vector<uint8_t> stored(const std::vector<uint8_t>& data) {
  return testing::encode_stream(data, 1, 1, StreamMode::Stored);
}

struct Result {
  ixo_cm_status rc;
  std::vector<uint8_t> out;
  size_t out_len;
};

constexpr size_t kUntouched = 0xDEADBEEF;

Result decode(const std::vector<uint8_t>& s, size_t cap) {
  Result r{0, std::vector<uint8_t>(cap, 0xAA), kUntouched};
  r.rc = ixo_cm_decompress(s.data(), s.size(), cap ? r.out.data() : nullptr, cap, &r.out_len);
  return r;
}

Result decode(const std::vector<uint8_t>& s) {
  uint64_t n = 0;
  EXPECT_EQ(ixo_cm_decompressed_size(s.data(), s.size(), &n), IXO_CM_OK);
  return decode(s, static_cast<size_t>(n));
}

TEST(Header, RejectedByBothEntryPoints) {
  struct Case {
    const char* name;
    size_t offset;
    uint8_t value;
  };
  const Case cases[] = {{"magic", 3, 'X'},  {"profile 0", 4, 0}, {"profile 4", 4, 4}, {"mode 2", 5, 2},
                        {"level 0", 6, 0},  {"level 10", 6, 10}};
  for (const Case& c : cases) {
    std::vector<uint8_t> s = stored({1, 2, 3});
    s[c.offset] = c.value;
    s[12] = 1;  // a wrong field is reported before the length is looked at
    uint64_t n = 77;
    EXPECT_EQ(ixo_cm_decompressed_size(s.data(), s.size(), &n), IXO_CM_NOT_A_STREAM) << c.name;
    EXPECT_EQ(n, 77u) << c.name;
    EXPECT_EQ(decode(s, 16).rc, IXO_CM_NOT_A_STREAM) << c.name;
  }
}

TEST(Header, ShorterThanTwentyBytesIsNotAStream) {
  const std::vector<uint8_t> full = stream_header(1, StreamMode::Stored, 1, 0, 0);
  for (size_t len = 0; len < 20; ++len) {
    uint64_t n = 0;
    size_t out = 0;
    EXPECT_EQ(ixo_cm_decompressed_size(full.data(), len, &n), IXO_CM_NOT_A_STREAM) << len;
    EXPECT_EQ(ixo_cm_decompress(full.data(), len, nullptr, 0, &out), IXO_CM_NOT_A_STREAM) << len;
  }
}

TEST(Header, ReservedByteIsIgnored) {
  std::vector<uint8_t> s = stored({4, 5, 6});
  s[7] = 0xFF;
  const Result r = decode(s);
  EXPECT_EQ(r.rc, IXO_CM_OK);
  EXPECT_EQ(r.out, (std::vector<uint8_t>{4, 5, 6}));
}

TEST(Header, LengthAbove32Bits) {
  for (size_t offset = 12; offset < 16; ++offset) {
    std::vector<uint8_t> s = stream_header(2, StreamMode::Stored, 3, 5, 0);
    s[offset] = 1;
    uint64_t n = 0;
    EXPECT_EQ(ixo_cm_decompressed_size(s.data(), s.size(), &n), IXO_CM_OK);
    EXPECT_EQ(n, (uint64_t{1} << (8 * offset - 64)) | 5);
    EXPECT_EQ(decode(s, 1000).rc, IXO_CM_OUTPUT_TOO_SMALL);
  }
}

TEST(Arguments, NullPointers) {
  const std::vector<uint8_t> s = stored({});
  uint64_t n = 0;
  size_t len = 0;
  uint8_t dst[8];
  EXPECT_EQ(ixo_cm_decompressed_size(nullptr, 0, &n), IXO_CM_INVALID_ARGUMENT);
  EXPECT_EQ(ixo_cm_decompressed_size(s.data(), s.size(), nullptr), IXO_CM_INVALID_ARGUMENT);
  EXPECT_EQ(ixo_cm_decompress(s.data(), s.size(), dst, 8, nullptr), IXO_CM_INVALID_ARGUMENT);
  EXPECT_EQ(ixo_cm_decompress(nullptr, 5, dst, 8, nullptr), IXO_CM_INVALID_ARGUMENT);
  EXPECT_EQ(ixo_cm_decompress(nullptr, 0, dst, 8, &len), IXO_CM_INVALID_ARGUMENT);
  EXPECT_EQ(ixo_cm_decompress(s.data(), s.size(), nullptr, 5, &len), IXO_CM_INVALID_ARGUMENT);
  const std::vector<uint8_t> junk = {1, 2, 3};
  EXPECT_EQ(ixo_cm_decompress(junk.data(), junk.size(), dst, 8, nullptr), IXO_CM_INVALID_ARGUMENT);
}

TEST(Stored, EmptyOutputIntoNullBuffer) {
  const Result r = decode(stored({}), 0);
  EXPECT_EQ(r.rc, IXO_CM_OK);
  EXPECT_EQ(r.out_len, 0u);
  std::vector<uint8_t> bad = stream_header(1, StreamMode::Stored, 1, 0, 1);
  EXPECT_EQ(decode(bad, 0).rc, IXO_CM_CORRUPT);
}

TEST(Stored, PayloadLengths) {
  const std::vector<uint8_t> data = {10, 20, 30, 40, 50};
  std::vector<uint8_t> longer = stored(data);
  longer.insert(longer.end(), {99, 98});
  Result r = decode(longer);
  EXPECT_EQ(r.rc, IXO_CM_OK);
  EXPECT_EQ(r.out, data);
  EXPECT_EQ(r.out_len, 5u);

  std::vector<uint8_t> shorter = stored(data);
  shorter.pop_back();
  r = decode(shorter);
  EXPECT_EQ(r.rc, IXO_CM_CORRUPT);
  EXPECT_EQ(r.out, std::vector<uint8_t>(5, 0xAA));  // nothing copied
  EXPECT_EQ(r.out_len, kUntouched);

  // The buffer check comes before the payload check.
  EXPECT_EQ(decode(shorter, 4).rc, IXO_CM_OUTPUT_TOO_SMALL);
  // A larger buffer is fine; only n bytes are written.
  r = decode(stored(data), 9);
  EXPECT_EQ(r.rc, IXO_CM_OK);
  EXPECT_EQ(r.out_len, 5u);
  EXPECT_EQ(r.out[5], 0xAA);
}

TEST(Stored, ChecksumMismatch) {
  std::vector<uint8_t> s = stored({1, 2, 3, 4});
  s[16] ^= 1;
  const Result r = decode(s);
  EXPECT_EQ(r.rc, IXO_CM_CORRUPT);
  EXPECT_EQ(r.out_len, kUntouched);
}

TEST(Modelled, EmptyPayloadDecodesToOnes) {
  // A code of zeros throughout makes every bit a 1, whatever the model predicts.
  for (int profile = 1; profile <= 3; ++profile) {
    for (int level = 1; level <= 9; ++level) {
      const size_t n = level < 5 ? 300 : 7;
      const std::vector<uint8_t> ones(n, 0xFF);
      const std::vector<uint8_t> s = stream_header(profile, StreamMode::Modelled, level, n, crc32(ones.data(), n));
      const Result r = decode(s);
      ASSERT_EQ(r.rc, IXO_CM_OK) << profile << "/" << level;
      EXPECT_EQ(r.out, ones);
      EXPECT_EQ(r.out_len, n);
    }
  }
}

TEST(Modelled, EmptyOutput) {
  for (int profile = 1; profile <= 3; ++profile) {
    const Result r = decode(stream_header(profile, StreamMode::Modelled, 2, 0, 0), 0);
    EXPECT_EQ(r.rc, IXO_CM_OK);
    EXPECT_EQ(r.out_len, 0u);
  }
  EXPECT_EQ(decode(stream_header(1, StreamMode::Modelled, 2, 0, 5), 0).rc, IXO_CM_CORRUPT);
}

TEST(Modelled, ChecksumMismatchLeavesTheDecodedBytes) {
  const std::vector<uint8_t> data = testing::sample_text(2000);
  std::vector<uint8_t> s = testing::encode_stream(data, 2, 1);
  s[17] ^= 0x40;
  const Result r = decode(s);
  EXPECT_EQ(r.rc, IXO_CM_CORRUPT);
  EXPECT_EQ(r.out, data);
  EXPECT_EQ(r.out_len, kUntouched);
}

TEST(Modelled, DamagedPayloadIsCorrupt) {
  const std::vector<uint8_t> data = testing::sample_binary(3000);
  const std::vector<uint8_t> good = testing::encode_stream(data, 1, 2);
  for (const size_t at : {size_t{20}, size_t{21}, good.size() / 2, good.size() - 2}) {
    std::vector<uint8_t> s = good;
    s[at] ^= 0x10;
    EXPECT_EQ(decode(s).rc, IXO_CM_CORRUPT) << "byte " << at;
  }
  std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(good.size() / 3));
  EXPECT_EQ(decode(cut).rc, IXO_CM_CORRUPT);
}

TEST(Modelled, SameStreamOnSeveralThreads) {
  const std::vector<uint8_t> data = testing::sample_text(20000);
  const std::vector<uint8_t> s = testing::encode_stream(data, 3, 2);
  std::vector<Result> results(4);
  std::vector<std::thread> threads;
  for (auto& r : results) threads.emplace_back([&] { r = decode(s); });
  for (auto& t : threads) t.join();
  for (const Result& r : results) {
    EXPECT_EQ(r.rc, IXO_CM_OK);
    EXPECT_EQ(r.out, data);
  }
}

// Sanitizers map their own memory within the same address-space limit.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Runs in a child process with a small address-space limit, where a level-9 model cannot be
// mapped; exits 0 when that gives -3 every time and everything built before was released.
[[noreturn]] void decode_under_address_limit() {
  const rlimit limit{size_t{512} << 20, size_t{512} << 20};
  setrlimit(RLIMIT_AS, &limit);
  const std::vector<uint8_t> big = stream_header(2, StreamMode::Modelled, 9, 10, 0);
  uint8_t dst[10];
  size_t len = 0;
  int failures = 0;
  for (int i = 0; i < 3; ++i)
    failures += ixo_cm_decompress(big.data(), big.size(), dst, 10, &len) == IXO_CM_OUT_OF_MEMORY;
  const std::vector<uint8_t> small = stream_header(1, StreamMode::Modelled, 1, 0, 0);
  const int small_rc = ixo_cm_decompress(small.data(), small.size(), dst, 10, &len);
  _exit(failures == 3 && small_rc == IXO_CM_OK ? 0 : 1);
}

TEST(Modelled, ModelThatCannotBeBuiltIsOutOfMemory) {
  EXPECT_EXIT(decode_under_address_limit(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace ixo::cm
