// The program itself on archives from the test writer: a test folder, archives saved in it, runs of the
// binary, and the report lines with their elapsed time left open.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "fixture.h"
#include "support/run_binary.h"
#include "support/writer/archive_writer.h"

namespace ixo::test {

class ProgramTest : public ::testing::Test {
 protected:
  // Saves builder's archive (one snapshot of its pending entries, committed) as name in the test folder.
  std::filesystem::path save(ArchiveBuilder& builder, const std::string& name = "a.ixo") {
    builder.snapshot(1);
    builder.commit();
    const std::filesystem::path path = t_ / name;
    EXPECT_TRUE(builder.save(path).has_value());
    return path;
  }
  // Runs the program in the test folder.
  RunResult run(const std::vector<std::string>& args) const { return run_program(args, {.cwd = t_.path()}); }
  std::filesystem::path path(const std::string& name) const { return t_ / name; }

  TempFolder t_;
};

inline ArchiveBuilder stored_archive(uint16_t version = 7) {
  return ArchiveBuilder({.version = version, .codec = Codec::Store, .chunk_size = 7});
}

// The report as printed, with any elapsed time accepted.
inline ::testing::AssertionResult report_is(const RunResult& r, const std::string& expected) {
  const std::string got = without_seconds(r.out);
  if (got == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "report\n" << got << "\nexpected\n" << expected << "\n" << show(r);
}

// "\r  file 1/n" ... "\r  file n/n".
inline std::string progress(uint64_t n) {
  std::string s;
  for (uint64_t i = 1; i <= n; ++i) s += "\r  file " + std::to_string(i) + "/" + std::to_string(n);
  return s;
}

// Starts the program with its output thrown away; gives its process id.
inline pid_t spawn_quiet(const std::vector<std::string>& args, const std::filesystem::path& cwd) {
  std::vector<char*> argv;
  std::string program = IXO_EXTRACT_BIN;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  EXPECT_EQ(::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace ixo::test
