// The child-process runner that the command-line tests stand on.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_binary.h"

namespace ixo::test {
namespace {

RunResult sh(const std::string& script, RunOptions options = {}) {
  options.program = "/bin/sh";
  return run_program({"-c", script}, options);
}

TEST(RunProgram, CapturesBothStreamsAndTheStatusExactly) {
  const RunResult r = sh("printf 'out\\0put'; printf 'err\\n' >&2; exit 3");
  EXPECT_EQ(r.out, std::string("out\0put", 7));
  EXPECT_EQ(r.err, "err\n");
  EXPECT_EQ(r.status, 3);
}

TEST(RunProgram, LargeOutputsOnBothStreamsDoNotStall) {
  // Far more than a pipe holds, written to stderr first: a reader of stdout alone would deadlock.
  const RunResult r = sh("head -c 3000000 /dev/zero >&2; head -c 2000000 /dev/zero; head -c 1000 /dev/zero >&2");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 2000000u);
  EXPECT_EQ(r.err.size(), 3001000u);
}

TEST(RunProgram, StandardInputIsEmptyAndTheFolderIsChosen) {
  RunOptions options;
  options.cwd = std::filesystem::temp_directory_path();
  const RunResult r = sh("cat; pwd", options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::filesystem::canonical(*options.cwd).string() + "\n");
}

TEST(RunProgram, ArgumentsArePassedAsTheyAre) {
  const RunResult r = run_program({"-c", "for a in \"$@\"; do printf '[%s]' \"$a\"; done", "sh", "", "a b", "-", "\xff"},
                                  RunOptions{"/bin/sh", {}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[][a b][-][\xff]");
}

TEST(RunProgram, SignalAndStartFailuresAreTold) {
  EXPECT_EQ(sh("kill -TERM $$").status, 128 + 15);
  const RunResult missing = run_program({}, RunOptions{"/nonexistent/program", {}});
  EXPECT_EQ(missing.status, -1);
  EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace ixo::test
