#include <gtest/gtest.h>

#include <string>

#include "support/run_binary.h"

namespace ixo {
namespace {

test::RunResult probe(const std::string& mode) {
  test::RunOptions options;
  options.program = PANIC_PROBE_BIN;
  return test::run_program({mode}, options);
}

// Reports name the thread by its system id, which differs between two runs.
std::string without_thread_ids(std::string text) {
  for (size_t at = text.find("' ("); at != std::string::npos; at = text.find("' (", at + 1)) {
    const size_t end = text.find(')', at);
    if (end != std::string::npos) text.erase(at + 3, end - at - 3);
  }
  return text;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(PanicFilter, PassesReportsOnUnchangedWhenNotQuiet) {
  const test::RunResult plain = probe("unfiltered");
  ASSERT_EQ(plain.status, 0) << test::show(plain);
  EXPECT_EQ(plain.out, "caught 1\n");
  EXPECT_NE(plain.err.find("panicked at"), std::string::npos) << plain.err;
  EXPECT_NE(plain.err.find("bridge test panic"), std::string::npos) << plain.err;

  const test::RunResult filtered = probe("filtered");
  ASSERT_EQ(filtered.status, 0) << test::show(filtered);
  EXPECT_EQ(filtered.out, "caught 1\n");
  // The usual report, byte for byte but for the thread id.
  EXPECT_EQ(without_thread_ids(filtered.err), without_thread_ids(plain.err));
}

TEST(PanicFilter, SilentOnAQuietThread) {
  const test::RunResult r = probe("quiet");
  ASSERT_EQ(r.status, 0) << test::show(r);
  EXPECT_EQ(r.out, "caught 1\n");
  EXPECT_EQ(r.err, "");
}

TEST(PanicFilter, ReportsBeforeAndAfterTheQuietCall) {
  const test::RunResult r = probe("around");
  ASSERT_EQ(r.status, 0) << test::show(r);
  EXPECT_EQ(r.out, "caught 3\n");
  EXPECT_EQ(count(r.err, "bridge test panic"), 2u) << r.err;
}

TEST(PanicFilter, AnotherThreadIsNotSilenced) {
  const test::RunResult r = probe("other-thread");
  ASSERT_EQ(r.status, 0) << test::show(r);
  EXPECT_EQ(r.out, "caught 1\n");
  EXPECT_EQ(count(r.err, "bridge test panic"), 1u) << r.err;
}

}  // namespace
}  // namespace ixo
