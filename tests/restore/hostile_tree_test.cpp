// The output folder against crafted links and a second writer: a link is judged by where it leads on disk, a
// folder moved or replaced while the run goes ends the run, and odd but valid trees end as files finished one
// at a time would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "fixture.h"
#include "platform/flusher.h"
#include "platform/faults.h"

namespace {

namespace fs = std::filesystem;
using namespace ixo;
using ixo::test::ArchiveBuilder;
using ixo::test::Codec;
using ixo::test::Entry;
using ixo::test::TempFolder;

ArchiveBuilder builder() { return ArchiveBuilder({.version = 7, .codec = Codec::Zstd, .chunk_size = 4096}); }

// The places a test runs in: the system's temporary folder, and a file system held in memory where there is one.
std::vector<fs::path> places() {
  std::vector<fs::path> all{fs::temp_directory_path()};
  if (struct statfs st {}; ::statfs("/dev/shm", &st) == 0 && st.f_type == TMPFS_MAGIC) all.push_back("/dev/shm");
  return all;
}

// The run acts as its own second writer: before the nth regular file is placed, act runs (a rename, a link).
struct SecondWriter {
  static inline int nth = 0;
  static inline int seen = 0;
  static inline bool refuse_ring = false;
  static inline std::function<void()> act;

  static int hook(platform::faults::Call call) {
    if (call == platform::faults::Call::Ring) return refuse_ring ? EPERM : 0;
    if (call == platform::faults::Call::Place && ++seen == nth && act) act();
    return 0;
  }
};

class Writer {
 public:
  Writer(int nth, std::function<void()> act, bool refuse_ring = false) {
    SecondWriter::nth = nth;
    SecondWriter::seen = 0;
    SecondWriter::act = std::move(act);
    SecondWriter::refuse_ring = refuse_ring;
    platform::faults::set_hook(SecondWriter::hook);
  }
  ~Writer() {
    platform::faults::set_hook(nullptr);
    SecondWriter::act = nullptr;
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
};

// Where following the link at path leads: inside root or not (a loop, or a path the system cannot follow,
// leads nowhere and so nowhere outside).
bool resolves_inside(const fs::path& root, const fs::path& link) {
  std::error_code ec;
  const fs::path real = fs::canonical(link, ec);
  if (ec) return true;
  const std::string base = fs::canonical(root).string() + "/";
  return (real.string() + "/").starts_with(base);
}

// A folder S with a few entries of its own, the output folder three levels below it: a link that escapes
// finds S's files.
class Bounds : public ::testing::Test {
 protected:
  Bounds() {
    fs::create_directories(out().parent_path());
    test::write_text(t_ / "secret", "S");
    test::write_text(t_ / "box/secret", "B");
    fs::create_directory(t_ / "outside");
    fs::create_directory(t_ / "box/outside");
    before_ = test::read_tree(t_.path());
  }
  fs::path out() const { return t_ / "box/in/deep/out"; }
  // Nothing outside the output folder changed.
  // Nothing outside the output folder changed (the folder that holds the output folder's parent changes its
  // time as the tests make and remove that).
  void expect_outside_untouched() const {
    auto outside = [](test::Tree tree) {
      std::erase_if(tree, [](const auto& e) { return e.first == "box" || e.first.starts_with("box/in") || e.first == "a.ixo"; });
      return tree;
    };
    EXPECT_EQ(outside(test::read_tree(t_.path())), outside(before_));
  }
  test::OpenedArchive open(ArchiveBuilder& b) {
    b.snapshot(1);
    b.commit();
    return test::open_built(b, t_ / "a.ixo");
  }

  TempFolder t_;
  test::Tree before_;
};

struct LinkCase {
  std::string name;
  std::vector<std::string> dirs;
  std::vector<std::pair<std::string, std::string>> links;  // path, target, in the order of the archive
  std::vector<std::pair<std::string, std::string>> standing{};  // links that stand in the output folder before
  std::set<std::string> refused{};
};

TEST_F(Bounds, LinksAreJudgedByWhereTheyLeadOnDisk) {
  const LinkCase cases[] = {
      {"a link through one that climbs to the root climbs out",
       {"a", "a/b", "a/b/c", "a/b/c/d", "a/b/c/d/e"},
       {{"a/b/c/d/e/u", "../../../../.."}, {"a/b/c/d/e/p", "u/../../../../../../secret"}},
       {},
       {"a/b/c/d/e/p"}},
      {"the same with the later link listed first", {"a", "a/b", "a/b/c", "a/b/c/d", "a/b/c/d/e"},
       {{"a/b/c/d/e/p", "u/../../../secret"}, {"a/b/c/d/e/u", "../../../../.."}}, {}, {"a/b/c/d/e/p"}},
      {"a link to its own folder", {}, {{"u", "."}, {"e", "u/../outside"}}, {}, {"e"}},
      {"a link to the parent", {"d"}, {{"d/u", ".."}, {"d/e", "u/../../outside"}}, {}, {"d/e"}},
      {"loops lead nowhere and count as outside", {}, {{"l", "m"}, {"m", "l"}, {"x", "x/a"}, {"self", "self"}}, {},
       {"l", "m", "x", "self"}},
      {"through links that stand in the output folder", {}, {{"s", "up/secret"}, {"t", "abs/x"}, {"ok", "in/x"}},
       {{"up", ".."}, {"abs", "/tmp"}, {"in", "."}}, {"s", "t"}},
      {"links that stay inside are made, through links too", {"a", "a/b"},
       {{"a/b/up", "../.."}, {"a/p", "b/up/a"}, {"q", "a/b/up/a/b"}, {"r", "q/../x"}, {"dangling", "no/such/..//y"},
        {"file", "a/b/f"}},
       {},
       {}},
      // Once s is refused another link could take its place, which the verdicts did not foresee.
      {"a link that would take the place of a refused one is refused too", {},
       {{"u", "."}, {"s", "u/.."}, {"s", "f"}, {"fine", "f"}}, {}, {"s"}},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(t_ / "box/in");
    fs::create_directories(out());
    for (const auto& [path, target] : c.standing) fs::create_symlink(target, out() / path);
    ArchiveBuilder b = builder();
    for (const std::string& d : c.dirs) b.add(ArchiveBuilder::dir(d));
    b.add_file(c.dirs.empty() ? "f" : c.dirs.back() + "/f", "content");
    for (const auto& [path, target] : c.links) b.add(ArchiveBuilder::symlink(path, target));
    const test::OpenedArchive opened = open(b);
    const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, out());
    ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
    EXPECT_EQ(r.result->failures, 0u) << r.diagnostics;
    for (const auto& [path, target] : c.links) {
      const std::string line = "\nnot restored: " + path + " -> " + target + " points outside the output folder\n";
      const bool refused = c.refused.contains(path);
      EXPECT_EQ(r.diagnostics.find(line) != std::string::npos, refused) << path << "\n" << r.diagnostics;
      EXPECT_EQ(fs::is_symlink(out() / path), !refused) << path;
      if (!refused) {
        EXPECT_EQ(fs::read_symlink(out() / path), target);
      }
      EXPECT_TRUE(resolves_inside(out(), out() / path)) << path;
    }
    const auto refused = std::count_if(c.links.begin(), c.links.end(), [&](const auto& l) { return c.refused.contains(l.first); });
    const std::string warning = "warning: " + std::to_string(refused) + " symlink(s) not restored";
    EXPECT_EQ(r.diagnostics.find(warning) != std::string::npos, !c.refused.empty()) << r.diagnostics;
    expect_outside_untouched();
  }
}

// An entry that fails on its way down (a file where a folder should be) leaves nothing held: the next entry is
// placed where its own path says.
TEST_F(Bounds, AnEntryThatFailsOnItsWayLeavesNoFolderHeld) {
  ArchiveBuilder b = builder();
  b.add(ArchiveBuilder::dir("p/f"));
  b.add_file("l", "file");
  b.add(ArchiveBuilder::hardlink("l/x/h", "l"));
  b.add(ArchiveBuilder::symlink("s", "p"));
  b.add(ArchiveBuilder::symlink("loop", "loop/a"));
  const test::OpenedArchive opened = open(b);
  const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, out());
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(r.result->failures, 1u) << r.diagnostics;
  EXPECT_TRUE(fs::is_symlink(out() / "s"));
  EXPECT_FALSE(fs::exists(out() / "p/s"));
  EXPECT_FALSE(fs::is_symlink(out() / "loop"));
  expect_outside_untouched();
}

// A folder the run is filling is moved away and a link to a folder outside takes its place.
void swap_for_link(const fs::path& folder, const fs::path& moved_to, const fs::path& outside) {
  fs::rename(folder, moved_to);
  fs::create_directory_symlink(outside, folder);
}

TEST_F(Bounds, AFolderSwappedWhileFilesGoInEndsTheRun) {
  for (const bool walk_only : {false, true}) {
    SCOPED_TRACE(walk_only ? "piece by piece" : "openat2");
    fs::remove_all(t_ / "box/in");
    fs::remove_all(t_ / "moved");
    ArchiveBuilder b = builder();
    for (int i = 0; i < 200; ++i) b.add_file("d/f" + std::to_string(1000 + i), std::string(100 + i, 'x'));
    const test::OpenedArchive opened = open(b);
    const Writer writer(100, [&] { swap_for_link(out() / "d", t_ / "moved", t_ / "outside"); });
    const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, out(), {.walk_only = walk_only});
    ASSERT_FALSE(r.result.has_value()) << r.diagnostics;
    EXPECT_EQ(r.result.error().to_string(), "output parent is not a real directory");
    EXPECT_TRUE(fs::is_empty(t_ / "outside"));
    fs::remove(out() / "d");
    fs::remove_all(t_ / "moved");
    expect_outside_untouched();
  }
}

TEST_F(Bounds, LinksIntoAFolderSwappedAfterTheFilesAreNeverMadeOutside) {
  // The outside folder holds a file of the same name as the hard link's target.
  test::write_text(t_ / "outside/f9", "not ours");
  before_ = test::read_tree(t_.path());
  for (const bool hard : {true, false}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    fs::remove_all(t_ / "box/in");
    fs::remove_all(t_ / "moved");
    ArchiveBuilder b = builder();
    for (int i = 0; i < 10; ++i) b.add_file("d/f" + std::to_string(i), "file " + std::to_string(i));
    b.add_file("z", "last");
    if (hard) {
      b.add(ArchiveBuilder::hardlink("h", "d/f9"));
    } else {
      b.add(ArchiveBuilder::symlink("d/s", "f9"));
    }
    const test::OpenedArchive opened = open(b);
    // Before the link is placed: every file is out by then.
    const Writer writer(12, [&] { swap_for_link(out() / "d", t_ / "moved", t_ / "outside"); });
    const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, out());
    ASSERT_FALSE(r.result.has_value()) << r.diagnostics;
    EXPECT_EQ(r.result.error().to_string(), "output parent is not a real directory");
    EXPECT_NE(r.diagnostics.find(std::string("\nFAILED: ") + (hard ? "h" : "d/s") +
                                 ": output parent is not a real directory\n"),
              std::string::npos)
        << r.diagnostics;
    EXPECT_FALSE(fs::exists(out() / "h"));
    fs::remove(out() / "d");
    fs::remove_all(t_ / "moved");
    expect_outside_untouched();
  }
}

// A file, then a file below a folder of the same name: the first is published, as if files went one at a time,
// and the second finds a file where its folder should be.
TEST(Settling, AFileInFlightIsPublishedBeforeAFolderTakesItsName) {
  for (const fs::path& place : places()) {
    for (const bool ring : {true, false}) {
      for (const std::string prefix : {"", "x/"}) {
        SCOPED_TRACE(place.string() + (ring ? ", io_uring" : ", no io_uring") + ", '" + prefix + "'");
        TempFolder t(place);
        ArchiveBuilder b = builder();
        b.add_file(prefix + "a", std::string(100, 'a'));
        b.add_file(prefix + "a/b", "below");
        b.snapshot(1);
        b.commit();
        const test::OpenedArchive opened = test::open_built(b, t / "a.ixo");
        const Writer no_ring(0, nullptr, !ring);
        const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, t / "out");
        ASSERT_FALSE(r.result.has_value());
        EXPECT_EQ(r.result.error().to_string(), "output parent is not a real directory");
        EXPECT_EQ(r.diagnostics, "\r  file 1/2");
        EXPECT_EQ(test::read_file(t / "out" / (prefix + "a")), std::string(100, 'a'));
      }
    }
  }
}

TEST(Flusher, WhereIoUringIsRefusedNothingOfTheProcessIsClosed) {
  // Standard input may be closed where the tests run: then a file takes its number, as one would in a run.
  std::optional<platform::File> held;
  if (::fcntl(0, F_GETFD) < 0) held.emplace(*platform::File::open_read("/dev/null"));
  struct stat before {};
  ASSERT_EQ(::fstat(0, &before), 0);
  {
    const Writer refuse(0, nullptr, true);
    TempFolder t;
    test::write_text(t / "f", "x");
    platform::File file = *platform::File::open_read(t / "f");
    platform::Flusher flusher(4);
    flusher.submit(file.fd(), 7);
    EXPECT_FALSE(flusher.asynchronous());
    const std::optional<platform::Flusher::Done> done = flusher.reap(true);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->token, 7u);
    EXPECT_TRUE(done->result.has_value());
  }
  struct stat after {};
  ASSERT_EQ(::fstat(0, &after), 0) << "descriptor 0 was closed";
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_dev, before.st_dev);
}

class Odd : public test::ProgramTest {};

TEST_F(Odd, AFolderBelowARegularFileIsTheSystemsErrorWhenItsModeIsDue) {
  ArchiveBuilder b = test::stored_archive();
  b.add_file("a", "file");
  b.add(ArchiveBuilder::dir("a/b", {.mode = 0700}));
  save(b);
  const test::RunResult r = run({"a.ixo", "out"});
  EXPECT_EQ(r.status, 1) << test::show(r);
  EXPECT_EQ(r.err, "\r  file 1/2\nFAILED: a/b: output parent is not a real directory\n\r  file 2/2\n"
                   "error: Not a directory (os error 20)\n");
}

TEST_F(Odd, ANameThatAppearsAtTheLinkIsOutputAlreadyExists) {
  ArchiveBuilder b = test::stored_archive();
  b.add_file("f", "ours");
  save(b);
  static fs::path final_path;
  final_path = path("out/f");
  platform::faults::set_hook([](platform::faults::Call call) {
    if (call == platform::faults::Call::Link) test::write_text(final_path, "theirs");
    return 0;
  });
  const test::OpenedArchive opened = test::open_built(b, path("b.ixo"));
  const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, path("out"));
  platform::faults::set_hook(nullptr);
  ASSERT_FALSE(r.result.has_value());
  EXPECT_EQ(r.result.error().to_string(), "output already exists");
  EXPECT_EQ(test::read_file(path("out/f")), "theirs");
}

TEST_F(Odd, TheClosingPassSetsModesWithoutProc) {
  if (test::run_program({"-m", "true"}, {.program = "/usr/bin/unshare"}).status != 0)
    GTEST_SKIP() << "a mount namespace cannot be made here";
  ArchiveBuilder b = test::stored_archive();
  b.add(ArchiveBuilder::dir("d", {.mode = 0700}));
  b.add(ArchiveBuilder::dir("d/e", {.mode = 0750}));
  b.add_file("d/e/f", "x", {.mode = 0640});
  save(b);
  const std::string command = "umount -l /proc && exec " + std::string(IXO_EXTRACT_BIN) + " a.ixo out";
  const test::RunResult r = test::run_program({"-m", "sh", "-c", command}, {.program = "/usr/bin/unshare", .cwd = t_.path()});
#ifndef __SANITIZE_ADDRESS__
  // (A sanitized build's leak checker needs /proc itself, and fails the program's exit for want of it.)
  EXPECT_EQ(r.status, 0) << test::show(r);
#endif
  EXPECT_TRUE(test::report_is(r, "extracted 1 files in #s, all verified\ninto out\n"));
  const test::Tree tree = test::read_tree(path("out"));
  EXPECT_EQ(tree.at("d").mode, 0700u);
  EXPECT_EQ(tree.at("d/e").mode, 0750u);
  EXPECT_EQ(tree.at("d/e/f").mode, 0640u);
}

TEST_F(Odd, ALowDescriptorLimitIsEnoughOnDisk) {
  ArchiveBuilder b = builder();
  for (int i = 0; i < 300; ++i) b.add_file("d" + std::to_string(i % 7) + "/f" + std::to_string(i), std::string(i, 'x'));
  b.add(ArchiveBuilder::hardlink("h", "d0/f0"));
  save(b);
  for (const int limit : {16, 40}) {
    SCOPED_TRACE(limit);
    fs::remove_all(path("out"));
    const std::string command = "ulimit -n " + std::to_string(limit) + " && exec " + IXO_EXTRACT_BIN + " -j 2 a.ixo out";
    const test::RunResult r = test::run_program({"-c", command}, {.program = "/bin/sh", .cwd = t_.path()});
    EXPECT_EQ(r.status, 0) << test::show(r);
    EXPECT_EQ(test::names_below(path("out")).size(), 7u + 300u + 1u);
  }
}

// The 18th file fails to be flushed, or to be written on the thread that writes small files: the folders made
// for the files after it, already placed while it was on its way, are gone again.
TEST(PublishQueue, FoldersMadeOnlyForAbandonedFilesAreRemoved) {
  using platform::faults::Call;
  TempFolder t;
  ArchiveBuilder b = builder();
  for (int i = 0; i < 20; ++i) b.add_file("early/f" + std::to_string(i), std::string(200, 'e'));
  for (int i = 0; i < 20; ++i) b.add_file("late/" + std::to_string(i) + "/f", std::string(200, 'l'));
  b.snapshot(1);
  b.commit();
  const test::OpenedArchive opened = test::open_built(b, t / "a.ixo");
  for (const Call failing : {Call::Flush, Call::Write}) {
    SCOPED_TRACE(failing == Call::Flush ? "flush" : "write");
    static std::atomic<int> calls;
    static std::atomic<Call> kind;
    calls = 0;
    kind = failing;
    platform::faults::set_hook([](Call call) {
      if (call == Call::SyncFs) return EIO;  // so that each file of the group is then flushed alone
      return call == kind && ++calls == 18 ? EIO : 0;
    });
    const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, t / "out");
    platform::faults::set_hook(nullptr);
    ASSERT_FALSE(r.result.has_value());
    EXPECT_EQ(r.result.error().to_string(), "Input/output error (os error 5)");
    std::vector<std::string> expected{"early"};
    for (int i = 0; i < 17; ++i) expected.push_back("early/f" + std::to_string(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(test::names_below(t / "out"), expected) << "a folder made only for a file after the failure was left";
    fs::remove_all(t / "out");
  }
}

}  // namespace
