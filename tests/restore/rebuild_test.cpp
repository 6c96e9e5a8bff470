// The rebuild of a selection in-process: progress and pass order, staging names, publication, per-file
// failures (digests, transform decoders that fail or crash), times and modes, and test mode.
#include <gtest/gtest.h>
#include <ixo_bridge.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "fixture.h"
#include "restore/output_tree.h"
#include "restore/links.h"
#include "restore/publish.h"
#include "restore/rebuild_run.h"
#include "platform/faults.h"

namespace {

namespace fs = std::filesystem;
using namespace ixo;
using ixo::test::ArchiveBuilder;
using ixo::test::Bytes;
using ixo::test::bytes_of;
using ixo::test::Codec;
using ixo::test::Entry;
using ixo::test::Meta;
using ixo::test::TempFolder;

ArchiveBuilder stored_builder() { return ArchiveBuilder({.version = 7, .codec = Codec::Store, .chunk_size = 5}); }

mode_t current_umask() {
  const mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

struct stat lstat_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st;
}

std::string staging(uint64_t n) { return pack::staging_name(static_cast<uint32_t>(::getpid()), n); }

// Files get named staging files, as on a file system that refuses unnamed ones.
struct NamedStagingOnly {
  NamedStagingOnly() {
    platform::faults::set_hook([](platform::faults::Call call) {
      return call == platform::faults::Call::Unnamed ? EOPNOTSUPP : 0;
    });
  }
  ~NamedStagingOnly() { platform::faults::set_hook(nullptr); }
};

class Rebuild : public ::testing::Test {
 protected:
  test::OpenedArchive& open(ArchiveBuilder& b) {
    b.snapshot(1);
    b.commit();
    opened_.emplace(test::open_built(b, t_ / "a.ixo"));
    return *opened_;
  }
  test::RebuildOutcome extract(ArchiveBuilder& b, pack::RebuildOptions options = {}) {
    open(b);
    return test::run_rebuild(opened_->archive, opened_->list, out(), options);
  }
  test::RebuildOutcome test_only(ArchiveBuilder& b, pack::RebuildOptions options = {}) {
    open(b);
    return test::run_rebuild(opened_->archive, opened_->list, std::nullopt, options);
  }
  fs::path out() const { return t_ / "out"; }
  std::vector<std::string> names() const { return test::names_below(out()); }

  TempFolder t_;
  std::optional<test::OpenedArchive> opened_;
};

TEST_F(Rebuild, ProgressCountsEveryEntryAndPassesRunInKindOrder) {
  ArchiveBuilder b = stored_builder();
  b.add(ArchiveBuilder::symlink("s", "d/f"));
  b.add(ArchiveBuilder::dir("d"));
  b.add_file("d/f", "hello world");
  b.add(ArchiveBuilder::hardlink("h", "d/f"));
  b.add(ArchiveBuilder::dir("e"));
  const auto r = extract(b);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(*r.result, (pack::ExtractCounts{1, 0}));
  // The file first, then the directories, the hard link and the symbolic link.
  EXPECT_EQ(r.diagnostics, "\r  file 1/5\r  file 2/5\r  file 3/5\r  file 4/5\r  file 5/5");
  EXPECT_EQ(names(), (std::vector<std::string>{"d", "d/f", "e", "h", "s"}));
  EXPECT_EQ(test::read_file(out() / "d/f"), "hello world");
  EXPECT_EQ(lstat_of(out() / "h").st_ino, lstat_of(out() / "d/f").st_ino);
  EXPECT_EQ(fs::read_symlink(out() / "s"), "d/f");
}

TEST_F(Rebuild, EmptySelectionPrintsNothing) {
  ArchiveBuilder b = stored_builder();
  const auto r = extract(b);
  ASSERT_TRUE(r.result.has_value());
  EXPECT_EQ(*r.result, (pack::ExtractCounts{0, 0}));
  EXPECT_EQ(r.diagnostics, "");
}

TEST_F(Rebuild, StagingNumbersAreNeverReusedWithinARun) {
  const NamedStagingOnly named;
  fs::create_directory(out());
  // 99 names taken: the first file needs its 100th attempt, and the second must go on from there.
  for (int n = 0; n < 99; ++n) test::write_text(out() / staging(n), "keep");
  ArchiveBuilder b = stored_builder();
  b.add_file("one", "1");
  b.add_file("two", "2");
  const auto r = extract(b);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(test::read_file(out() / "one"), "1");
  EXPECT_EQ(test::read_file(out() / "two"), "2");
  EXPECT_EQ(names().size(), 101u) << "a staging file stayed behind";
  EXPECT_EQ(test::read_file(out() / staging(0)), "keep");
}

TEST_F(Rebuild, HundredTakenStagingNamesEndTheRun) {
  const NamedStagingOnly named;
  fs::create_directory(out());
  for (int n = 0; n < 100; ++n) test::write_text(out() / staging(n), "keep");
  ArchiveBuilder b = stored_builder();
  b.add_file("one", "1");
  const auto r = extract(b);
  ASSERT_FALSE(r.result.has_value());
  EXPECT_EQ(r.result.error().kind(), ErrorKind::AlreadyExists);
  EXPECT_EQ(r.result.error().to_string(), "cannot allocate output staging file");
  EXPECT_FALSE(fs::exists(out() / "one"));
  EXPECT_EQ(names().size(), 100u);
}

TEST_F(Rebuild, SomethingAtAFinalPathEndsTheRunAndKeepsWhatWasPublished) {
  fs::create_directory(out());
  fs::create_symlink(t_ / "nowhere", out() / "b");
  ArchiveBuilder b = stored_builder();
  b.add_file("a", "first");
  b.add_file("b", "second");
  b.add_file("c", "third");
  const auto r = extract(b);
  ASSERT_FALSE(r.result.has_value());
  EXPECT_EQ(r.result.error().kind(), ErrorKind::AlreadyExists);
  EXPECT_EQ(r.result.error().to_string(), "output already exists");
  EXPECT_EQ(r.diagnostics, "\r  file 1/3");
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(fs::exists(t_ / "nowhere")) << "written through the dangling link";
}

// A path named twice: the second finds the first in place, whether the first is still on its way out, in a
// folder the run made or one that was there, and a first that failed its check leaves the name free.
TEST_F(Rebuild, APathNamedTwiceFindsTheFirstInPlace) {
  for (const bool folder_was_there : {false, true}) {
    SCOPED_TRACE(folder_was_there ? "folder was there" : "folder made by the run");
    const fs::path out_dir = t_ / (folder_was_there ? "there" : "made");
    if (folder_was_there) fs::create_directories(out_dir / "d");
    ArchiveBuilder b = stored_builder();
    b.add_file("d/a", "first");
    b.add_file("d/b", "other");
    b.add_file("d/a", "second");
    b.add_file("d/c", "never");
    open(b);
    const auto r = test::run_rebuild(opened_->archive, opened_->list, out_dir, {});
    ASSERT_FALSE(r.result.has_value());
    EXPECT_EQ(r.result.error().kind(), ErrorKind::AlreadyExists);
    EXPECT_EQ(r.result.error().to_string(), "output already exists");
    EXPECT_EQ(r.diagnostics, "\r  file 1/4\r  file 2/4");
    EXPECT_EQ(test::names_below(out_dir), (std::vector<std::string>{"d", "d/a", "d/b"}));
    EXPECT_EQ(test::read_file(out_dir / "d/a"), "first");
  }

  {
    // A file at the place of a folder the run made for an earlier file.
    ArchiveBuilder b = stored_builder();
    b.add_file("d/x/f", "inner");
    b.add_file("d/x", "file");
    open(b);
    const fs::path out_dir = t_ / "folder";
    const auto r = test::run_rebuild(opened_->archive, opened_->list, out_dir, {});
    ASSERT_FALSE(r.result.has_value());
    EXPECT_EQ(r.result.error().to_string(), "output already exists");
    EXPECT_EQ(test::names_below(out_dir), (std::vector<std::string>{"d", "d/x", "d/x/f"}));
  }

  ArchiveBuilder b = stored_builder();
  Entry bad = b.file("d/a", bytes_of("broken"));
  bad.digest[0] ^= 1;
  b.add(bad);
  b.add_file("d/a", "second");
  const auto r = extract(b);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(r.result->failures, 1u);
  EXPECT_EQ(test::read_file(out() / "d/a"), "second");
  EXPECT_EQ(names(), (std::vector<std::string>{"d", "d/a"}));
}

TEST_F(Rebuild, ChecksumMismatchIsReportedAndNothingIsLeft) {
  ArchiveBuilder b = stored_builder();
  Entry bad = b.file("bad", bytes_of("0123456789abc"));
  bad.digest[31] ^= 1;  // only the last byte differs
  b.add(bad);
  b.add(ArchiveBuilder::hardlink("link", "bad"));
  b.add_file("good", "fine");
  b.add_file("empty", "");
  const auto r = extract(b);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(*r.result, (pack::ExtractCounts{3, 2}));
  EXPECT_EQ(r.diagnostics,
            "\nCHECKSUM MISMATCH: bad\n\r  file 1/4\r  file 2/4\r  file 3/4"
            "\nFAILED: link: the file it links to (bad) was not restored\n\r  file 4/4");
  EXPECT_EQ(names(), (std::vector<std::string>{"empty", "good"}));
  EXPECT_EQ(test::read_file(out() / "empty"), "");

  const auto tested = test::run_rebuild(opened_->archive, opened_->list, std::nullopt);
  ASSERT_TRUE(tested.result.has_value());
  EXPECT_EQ(*tested.result, (pack::ExtractCounts{3, 2}));
  EXPECT_EQ(tested.diagnostics, r.diagnostics) << "test mode reports the same";
}

TEST_F(Rebuild, TestModeCreatesNothingAndJudgesNoPath) {
  ArchiveBuilder b = stored_builder();
  b.add_file("../up", "x");
  b.add(ArchiveBuilder::dir("/abs"));
  b.add(ArchiveBuilder::symlink("s", "/etc/passwd"));
  b.add(ArchiveBuilder::hardlink("h", "../up"));
  const auto r = test_only(b);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(*r.result, (pack::ExtractCounts{1, 0}));
  EXPECT_EQ(r.diagnostics, "\r  file 1/4\r  file 2/4\r  file 3/4\r  file 4/4") << "no symbolic link was examined";
  EXPECT_EQ(test::names_below(t_.path()), (std::vector<std::string>{"a.ixo"}));
}

// Only the targets of hard links are remembered: a link finds its target among many files, in an extraction and
// in a test, and a link to a file that was not restored fails alike in both.
TEST_F(Rebuild, HardLinksFindTheirTargetsAmongManyFiles) {
  for (const bool testing : {false, true}) {
    SCOPED_TRACE(testing ? "test mode" : "extraction");
    fs::remove_all(out());
    ArchiveBuilder b = stored_builder();
    for (int i = 0; i < 40; ++i) b.add_file("d/f" + std::to_string(i), "file " + std::to_string(i));
    Entry bad = b.file("d/bad", bytes_of("damaged"));
    bad.digest[0] ^= 1;
    b.add(bad);
    b.add(ArchiveBuilder::hardlink("to-first", "d/f0"));
    b.add(ArchiveBuilder::hardlink("to-last", "d/f39"));
    b.add(ArchiveBuilder::hardlink("to-last-again", "d/f39"));
    b.add(ArchiveBuilder::hardlink("to-bad", "d/bad"));
    const auto r = testing ? test_only(b) : extract(b);
    ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
    EXPECT_EQ(*r.result, (pack::ExtractCounts{41, 2}));
    EXPECT_NE(r.diagnostics.find("\nFAILED: to-bad: the file it links to (d/bad) was not restored\n"), std::string::npos)
        << r.diagnostics;
    if (!testing) {
      EXPECT_EQ(lstat_of(out() / "to-first").st_ino, lstat_of(out() / "d/f0").st_ino);
      EXPECT_EQ(lstat_of(out() / "to-last").st_ino, lstat_of(out() / "d/f39").st_ino);
      EXPECT_EQ(lstat_of(out() / "to-last-again").st_ino, lstat_of(out() / "d/f39").st_ino);
      EXPECT_FALSE(fs::exists(out() / "to-bad"));
    }
  }
}

// A transform row whose decoder acts on the first byte of the stored form.
bool quiet_inside = false;
Result<transform::Bytes> scripted_decode(std::span<const uint8_t> stored, uint64_t size) {
  quiet_inside = ixo_quiet();
  switch (stored[0]) {
    case 'C': throw std::runtime_error("decoder blew up");
    case 'A': throw 42;
    case 'E': return fail(codec::invalid("bcj-x86: scripted failure"));
    case 'L': return transform::Bytes(size + 1, 'x');
    case 'W': return transform::Bytes(size, 'w');
    default: return transform::Bytes(stored.begin(), stored.end());
  }
}
constexpr transform::TransformSpec SCRIPTED{"bcj-x86", "scripted", 1 << 20, 1 << 20, nullptr, nullptr, nullptr,
                                            scripted_decode, 6, transform::TRANSFORM_BCJ_X86, false, true};
constexpr transform::TransformSpec TIGHT{"bcj-x86", "tight", 1 << 20, 3, nullptr, nullptr, nullptr,
                                         scripted_decode, 6, transform::TRANSFORM_BCJ_X86, false, true};
const transform::TransformSpec* scripted_row(uint8_t id) { return id == 3 ? &SCRIPTED : nullptr; }
const transform::TransformSpec* tight_row(uint8_t id) { return id == 3 ? &TIGHT : nullptr; }
const transform::TransformSpec* no_row(uint8_t) { return nullptr; }

TEST_F(Rebuild, TransformFailuresArePerFileAndTheRunGoesOn) {
  ArchiveBuilder b = stored_builder();
  const auto add_transformed = [&](std::string path, std::string stored) {
    const Bytes bytes = bytes_of(stored);
    b.add(b.transformed(path, test::transform_id::BcjX86, bytes, bytes.size(), test::digest_of(bytes)));
    b.add_file(path + ".after", "plain " + stored);  // its chunks come after the failed file's in the plan
  };
  add_transformed("crash", "Crash and burn");
  add_transformed("odd", "A strange throw");
  add_transformed("error", "Error please");
  add_transformed("long", "Longer than it should");
  add_transformed("wrong", "Wrong content");
  add_transformed("good", "good bytes here");
  ASSERT_FALSE(ixo_quiet());
  const auto r = extract(b, {.find_transform = scripted_row});
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(*r.result, (pack::ExtractCounts{12, 5}));
  EXPECT_TRUE(quiet_inside) << "the decoder ran without the quiet flag";
  EXPECT_FALSE(ixo_quiet()) << "the quiet flag was not put back";
  EXPECT_EQ(r.diagnostics,
            "\nFAILED: crash: bcj-x86 decoder crashed while rebuilding a file\n\r  file 1/12\r  file 2/12"
            "\nFAILED: odd: bcj-x86 decoder crashed while rebuilding a file\n\r  file 3/12\r  file 4/12"
            "\nFAILED: error: bcj-x86: scripted failure\n\r  file 5/12\r  file 6/12"
            "\nFAILED: long: bcj-x86 reconstruction length mismatch\n\r  file 7/12\r  file 8/12"
            "\nCHECKSUM MISMATCH: wrong\n\r  file 9/12\r  file 10/12\r  file 11/12\r  file 12/12");
  EXPECT_EQ(names(), (std::vector<std::string>{"crash.after", "error.after", "good", "good.after", "long.after",
                                               "odd.after", "wrong.after"}));
  EXPECT_EQ(test::read_file(out() / "good"), "good bytes here");
  EXPECT_EQ(test::read_file(out() / "wrong.after"), "plain Wrong content");
}

TEST_F(Rebuild, TransformLimitsAndMissingRowsFailBeforeTheDecoder) {
  ArchiveBuilder b = stored_builder();
  const Bytes bytes = bytes_of("Crash if called");
  b.add(b.transformed("t", test::transform_id::BcjX86, bytes, bytes.size(), test::digest_of(bytes)));
  b.add_file("after", "still here");
  open(b);
  using Find = const transform::TransformSpec* (*)(uint8_t);
  const std::pair<Find, std::string> cases[] = {{tight_row, "transform exceeds limits"},
                                                {no_row, "unknown file transform"}};
  for (const auto& [find, message] : cases) {
    const auto r = test::run_rebuild(opened_->archive, opened_->list, out(), {.find_transform = find});
    ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
    EXPECT_EQ(r.diagnostics, "\nFAILED: t: " + message + "\n\r  file 1/2\r  file 2/2");
    EXPECT_EQ(names(), (std::vector<std::string>{"after"}));
    fs::remove_all(out());
  }
}

TEST_F(Rebuild, TimesAndModesOfFilesAndNewDirectories) {
  fs::create_directories(out() / "old");
  ::chmod((out() / "old").c_str(), 0751);
  const struct stat old_before = lstat_of(out() / "old");
  const auto start = std::chrono::system_clock::now() - std::chrono::seconds(2);

  ArchiveBuilder b = stored_builder();
  b.add_file("half", "a", {.mode = 04755, .mtime = 1, .mtime_nanos = 500'000'000});
  b.add_file("untimed", "b", {.mtime = 0});
  b.add_file("before", "c", {.mode = 0600, .mtime = -5});
  b.add_file("p/inner", "d", {.mode = 0640, .mtime = 1'000'000'000});
  b.add(ArchiveBuilder::dir("old", {.mode = 0700, .mtime = 5}));
  b.add(ArchiveBuilder::dir("a", {.mode = 0555, .mtime = 100}));
  b.add(ArchiveBuilder::dir("a/b/c", {.mode = 0500, .mtime = 300}));
  b.add(ArchiveBuilder::dir("a/b", {.mode = 0510, .mtime = 200, .mtime_nanos = 7}));
  b.add(ArchiveBuilder::dir("p", {.mode = 0750, .mtime = 400}));  // made for p/inner first, still new
  b.add(ArchiveBuilder::dir("plain"));
  const auto r = extract(b);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();

  const auto seconds = [&](const char* p) { return lstat_of(out() / p).st_mtim.tv_sec; };
  const auto mode = [&](const char* p) { return lstat_of(out() / p).st_mode & 07777; };
  EXPECT_EQ(seconds("half"), 1);
  EXPECT_EQ(lstat_of(out() / "half").st_mtim.tv_nsec, 500'000'000);
  EXPECT_EQ(mode("half"), 0755u);
  EXPECT_GE(seconds("untimed"), std::chrono::system_clock::to_time_t(start));
  EXPECT_EQ(mode("untimed"), 0666 & ~current_umask());
  EXPECT_GE(seconds("before"), std::chrono::system_clock::to_time_t(start));
  EXPECT_EQ(mode("before"), 0600u);
  EXPECT_EQ(seconds("p/inner"), 1'000'000'000);

  EXPECT_EQ(seconds("a"), 100);
  EXPECT_EQ(mode("a"), 0555u);
  EXPECT_EQ(seconds("a/b"), 200);
  EXPECT_EQ(lstat_of(out() / "a/b").st_mtim.tv_nsec, 7);
  EXPECT_EQ(mode("a/b"), 0510u);
  EXPECT_EQ(seconds("a/b/c"), 300);
  EXPECT_EQ(mode("a/b/c"), 0500u);
  EXPECT_EQ(seconds("p"), 400) << "a folder made for a file earlier in the run is still new";
  EXPECT_EQ(mode("p"), 0750u);
  EXPECT_EQ(mode("plain"), 0777 & ~current_umask());
  EXPECT_EQ(mode("old"), 0751u) << "a folder that existed before was changed";
  EXPECT_EQ(seconds("old"), old_before.st_mtim.tv_sec);
}

TEST_F(Rebuild, SymbolicLinksThatCouldLeadOutsideAreNotMade) {
  ArchiveBuilder b = stored_builder();
  b.add(ArchiveBuilder::dir("a"));
  b.add(ArchiveBuilder::dir("a/b"));
  b.add(ArchiveBuilder::symlink("a/b/up2", "../../x"));
  b.add(ArchiveBuilder::symlink("a/b/up3", "../../../x"));
  b.add(ArchiveBuilder::symlink("top", ".."));
  b.add(ArchiveBuilder::symlink("a/abs", "/etc/passwd"));
  const auto r = extract(b);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(*r.result, (pack::ExtractCounts{0, 0}));
  EXPECT_EQ(r.diagnostics,
            "\r  file 1/6\r  file 2/6\r  file 3/6"
            "\nnot restored: a/b/up3 -> ../../../x points outside the output folder\n\r  file 4/6"
            "\nnot restored: top -> .. points outside the output folder\n\r  file 5/6"
            "\nnot restored: a/abs -> /etc/passwd points outside the output folder\n\r  file 6/6"
            "\nwarning: 3 symlink(s) not restored (see above)\n");
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "a/b", "a/b/up2"}));
}

TEST(SymlinkContainment, LexicalWalkFromTheLinksFolder) {
  struct Case {
    const char* link;
    const char* target;
    bool inside;
  };
  const Case cases[] = {
      {"a/b/l", "../x", true},       {"a/b/l", "../../x", true},  {"a/b/l", "x/../../..", true},
      {"a/b/l", "./y", true},        {"a/b/l", "../..", true},    {"a/b/l", "../../../x", false},
      {"l", "..", false},            {"l", "x/..", true},         {"a/b/l", "/etc/x", false},
      {"a/b/l", "c:x", false},       {"a/b/l", "a\\b", false},    {"a/b/l", "x/", true},
      {"l", "x//y/./", true},        {"l", "./..", false},        {"a/l", "../../..", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(pack::symlink_stays_inside(c.link, c.target), c.inside) << c.link << " -> " << c.target;
}

TEST_F(Rebuild, DirectoryPlaceTakenByALinkOrAFileFails) {
  fs::create_directories(out());
  fs::create_directory(t_ / "outside");
  ::chmod((t_ / "outside").c_str(), 0755);
  fs::create_directory_symlink(t_ / "outside", out() / "d");
  test::write_text(out() / "f", "keep");
  const struct stat outside_before = lstat_of(t_ / "outside");

  ArchiveBuilder b = stored_builder();
  b.add(ArchiveBuilder::dir("d", {.mode = 0700, .mtime = 10}));
  b.add(ArchiveBuilder::dir("f", {.mode = 0700, .mtime = 10}));
  b.add(ArchiveBuilder::dir("g", {.mode = 0700, .mtime = 10}));
  const auto r = extract(b);
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(*r.result, (pack::ExtractCounts{0, 2}));
  EXPECT_EQ(r.diagnostics,
            "\nFAILED: d: output exists and is not a directory\n\r  file 1/3"
            "\nFAILED: f: output exists and is not a directory\n\r  file 2/3\r  file 3/3");
  const struct stat outside_after = lstat_of(t_ / "outside");
  EXPECT_EQ(outside_after.st_mode & 07777, 0755u);
  EXPECT_EQ(outside_after.st_mtim.tv_sec, outside_before.st_mtim.tv_sec);
  EXPECT_EQ(lstat_of(out() / "g").st_mode & 07777, 0700u);
}

// Replaces out/d by a link to the outside folder the moment the last entry's progress line is printed: after
// the passes, before the closing pass sets the times and modes of new directories.
struct SwapAtEnd {
  fs::path out, outside;
  std::string trigger;
  std::string seen;
};
ssize_t swap_write(void* cookie, const char* data, size_t n) {
  auto* s = static_cast<SwapAtEnd*>(cookie);
  s->seen.append(data, n);
  if (s->seen.ends_with(s->trigger)) {
    fs::remove_all(s->out / "d");
    fs::remove_all(s->out / "e");
    fs::create_directory_symlink(s->outside, s->out / "d");
    fs::create_directory_symlink(s->outside, s->out / "e");
  }
  return static_cast<ssize_t>(n);
}

TEST_F(Rebuild, ClosingPassNeverFollowsALinkThatTookADirectorysPlace) {
  fs::create_directory(t_ / "outside");
  fs::create_directory(t_ / "outside" / "f");
  ::chmod((t_ / "outside").c_str(), 0755);
  ::chmod((t_ / "outside" / "f").c_str(), 0755);
  const struct stat before = lstat_of(t_ / "outside");
  const struct stat before_f = lstat_of(t_ / "outside" / "f");

  for (const bool with_mode : {false, true}) {
    ArchiveBuilder b = stored_builder();
    const Meta meta = with_mode ? Meta{.mode = 0700, .mtime = 10} : Meta{.mtime = 10};
    b.add(ArchiveBuilder::dir("d", meta));
    b.add(ArchiveBuilder::dir("e"));
    b.add(ArchiveBuilder::dir("e/f", meta));
    open(b);
    SwapAtEnd swap{out(), t_ / "outside", "\r  file 3/3", {}};
    cookie_io_functions_t io{.read = nullptr, .write = swap_write, .seek = nullptr, .close = nullptr};
    std::FILE* stream = ::fopencookie(&swap, "w", io);
    ASSERT_NE(stream, nullptr);
    std::setvbuf(stream, nullptr, _IONBF, 0);
    const Result<pack::ExtractCounts> r =
        pack::extract_selected(opened_->archive, opened_->list, 1, out(), {.diagnostics = stream});
    std::fclose(stream);

    // The tree the run built is not there any more: never reported as restored.
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), "output parent is not a real directory");
    const struct stat after = lstat_of(t_ / "outside");
    const struct stat after_f = lstat_of(t_ / "outside" / "f");
    EXPECT_EQ(after.st_mode & 07777, 0755u);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after_f.st_mode & 07777, 0755u);
    EXPECT_EQ(after_f.st_mtim.tv_sec, before_f.st_mtim.tv_sec);
    fs::remove_all(out());
  }
}

TEST(FinishNewDirs, ALinkAtTheDirectoryItselfIsRefusedWhenAModeIsDue) {
  TempFolder t;
  fs::create_directories(t / "out");
  fs::create_directory(t / "outside");
  ::chmod((t / "outside").c_str(), 0755);
  fs::create_directory_symlink(t / "outside", t / "out" / "d");
  format::FileEntry d{.path = "d", .mtime = 10, .mode = 0700, .kind = format::Directory};
  pack::OutputTree tree(t / "out");
  const Status s = pack::finish_new_dirs({&d}, tree);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().to_string(), "output exists and is not a directory");
  EXPECT_EQ(lstat_of(t / "outside").st_mode & 07777, 0755u);

  format::FileEntry gone{.path = "gone", .mtime = 10, .kind = format::Directory};
  EXPECT_TRUE(pack::finish_new_dirs({&gone}, tree).has_value()) << "no mode: the time is skipped silently";
  gone.mode = 0700;
  EXPECT_EQ(pack::finish_new_dirs({&gone}, tree).error().kind(), ErrorKind::NotFound);
}

TEST(EntryTime, CarriesNanosecondsAndRefusesWhatDoesNotFit) {
  format::FileEntry e;
  e.mtime = 0;
  EXPECT_EQ(*pack::entry_time(e), std::nullopt);
  e.mtime = -1;
  EXPECT_EQ(*pack::entry_time(e), std::nullopt);
  e.mtime = 1;
  e.mtime_nanos = 2'500'000'000u;
  EXPECT_EQ(*pack::entry_time(e), (platform::FileTime{3, 500'000'000}));
  e.mtime = INT64_MAX;
  e.mtime_nanos = 999'999'999;
  EXPECT_EQ(*pack::entry_time(e), (platform::FileTime{INT64_MAX, 999'999'999}));
  e.mtime_nanos = 1'000'000'000;
  EXPECT_EQ(pack::entry_time(e).error().to_string(), "file timestamp is outside the platform range");
}

TEST_F(Rebuild, PathsWithNulBytesAreRefused) {
  ArchiveBuilder b = stored_builder();
  b.add(ArchiveBuilder::dir(std::string("d\0x", 3)));
  b.add_file("a", "keep");
  b.add_file(std::string("a\0b", 3), "other");
  const auto r = extract(b);
  ASSERT_FALSE(r.result.has_value());
  EXPECT_EQ(r.result.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(test::read_file(out() / "a"), "keep");
  EXPECT_EQ(names(), (std::vector<std::string>{"a"}));
}

}  // namespace
