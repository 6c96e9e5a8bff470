// The closing pass over the folders a run created: a folder that cannot be opened for reading keeps its time
// and still gets its mode, and a regular file that took a folder's place is treated as the folder would be.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace ixo;
using ixo::test::ArchiveBuilder;
using ixo::test::Codec;
using ixo::test::Meta;
using ixo::test::TempFolder;

struct stat lstat_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st;
}

// Gives up the capabilities that let root read and search whatever it likes, so that permission bits bind
// this process as they bind any owner. False when the system does not allow it.
bool drop_read_override() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) data[cap / 32].effective &= ~(1u << (cap % 32));
  return ::syscall(SYS_capset, &header, data) == 0;
}

constexpr int CANNOT_DROP = 77;

// Under the file-creation mask 0477 the run creates its folders with mode 0300: the owner may write and
// search them but not read them. Their times stay as the run left them; their modes are still set.
TEST(ClosingPass, FolderThatCannotBeReadKeepsItsTimeAndGetsItsMode) {
  TempFolder t;
  ArchiveBuilder b({.version = 7, .codec = Codec::Store});
  b.add(ArchiveBuilder::dir("d", {.mode = 0755, .mtime = 10}));
  b.add(ArchiveBuilder::dir("d/e", {.mode = 0700, .mtime = 20}));
  b.snapshot(1);
  b.commit();
  test::OpenedArchive opened = test::open_built(b, t / "a.ixo");
  const fs::path out = t / "out";
  fs::create_directory(out);

  std::fflush(nullptr);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::getuid() == 0 && !drop_read_override()) ::_exit(CANNOT_DROP);
    ::umask(0477);
    const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, out);
    if (!r.result) std::fprintf(stderr, "child: %s\n", r.result.error().to_string().c_str());
    ::_exit(r.result && r.result->failures == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == CANNOT_DROP) GTEST_SKIP() << "capabilities cannot be dropped here";
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the run failed";

  EXPECT_EQ(lstat_of(out / "d").st_mode & 07777, 0755u);
  EXPECT_EQ(lstat_of(out / "d/e").st_mode & 07777, 0700u);
  EXPECT_NE(lstat_of(out / "d").st_mtim.tv_sec, 10);
  EXPECT_NE(lstat_of(out / "d/e").st_mtim.tv_sec, 20);
}

// The same path as a file and as a folder in one snapshot: the file is published first, the folder fails as
// an entry, and at the end the file that stands at the folder's place gets the folder's time and mode.
TEST(ClosingPass, FileAtACreatedFoldersPlaceGetsItsTimeAndMode) {
  TempFolder t;
  ArchiveBuilder b({.version = 7, .codec = Codec::Store});
  b.add_file("x", "content", {.mode = 0644, .mtime = 5});
  b.add(ArchiveBuilder::dir("x", {.mode = 0600, .mtime = 10, .mtime_nanos = 7}));
  b.add(ArchiveBuilder::dir("y", {.mode = 0750, .mtime = 30}));
  b.snapshot(1);
  b.commit();
  test::OpenedArchive opened = test::open_built(b, t / "a.ixo");
  const fs::path out = t / "out";
  const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, out);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(*r.result, (pack::ExtractCounts{1, 1}));
  EXPECT_EQ(r.diagnostics, "\r  file 1/3\nFAILED: x: output exists and is not a directory\n\r  file 2/3\r  file 3/3");
  const struct stat x = lstat_of(out / "x");
  EXPECT_TRUE(S_ISREG(x.st_mode));
  EXPECT_EQ(x.st_mode & 07777, 0600u);
  EXPECT_EQ(x.st_mtim.tv_sec, 10);
  EXPECT_EQ(x.st_mtim.tv_nsec, 7);
  EXPECT_EQ(test::read_file(out / "x"), "content");
  EXPECT_EQ(lstat_of(out / "y").st_mode & 07777, 0750u);
  EXPECT_EQ(lstat_of(out / "y").st_mtim.tv_sec, 30);
}

}  // namespace
