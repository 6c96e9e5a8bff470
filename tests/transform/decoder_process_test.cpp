// The process a decoder runs in: crash reports of the library's own threads reach the program's standard error, the
// quiet caller's alone being silent.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "transform/bounded_decode.h"
#include "transform/quiet.h"

namespace ixo::transform {
namespace {

// A library that panics on a thread of its own and then on the calling thread (each panic caught where it
// happens), and gives one byte.
int32_t panics_on_two_threads(const uint8_t*, size_t, ixo_sink out, void* out_ctx, ixo_sink, void*) {
  std::thread worker([] { ixo_bridge_test_panic(); });
  worker.join();
  ixo_bridge_test_panic();
  const uint8_t byte = 1;
  return out(out_ctx, &byte, 1) ? IXO_TRANSFORM_OK : IXO_TRANSFORM_ERROR;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST(DecoderProcess, OnlyTheQuietCallersCrashReportIsSilent) {
  testing::internal::CaptureStderr();
  const Result<Bytes> decoded = [] {
    const QuietScope quiet;
    return run_bounded(panics_on_two_threads, {}, 1, "test: ", jpeg_bound(0, 1));
  }();
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(decoded) << decoded.error().to_string();
  EXPECT_EQ(decoded->size(), 1u);
  EXPECT_EQ(occurrences(err, "bridge test panic"), 1u) << err;
}

}  // namespace
}  // namespace ixo::transform
