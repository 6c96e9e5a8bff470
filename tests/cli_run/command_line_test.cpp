// The program itself on archives from the test writer: listings, summaries, snapshot choice and the statuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "util/human.h"
#include "support/run_binary.h"
#include "support/writer/archive_writer.h"

namespace {

namespace fs = std::filesystem;
using ixo::test::ArchiveBuilder;
using ixo::test::Bytes;
using ixo::test::Codec;
using ixo::test::EditSpec;
using ixo::test::IndexForm;
using ixo::test::RunResult;

constexpr const char* NEWER = "This archive needs a newer ixo-extract; this one is 0.9.1.\n";

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = (fs::temp_directory_path() / "ixo-cli-run-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Saves the archive as name in the test's folder and gives its path.
  std::string save(const ArchiveBuilder& builder, const std::string& name = "a.ixo") {
    const fs::path path = dir_ / name;
    EXPECT_TRUE(builder.save(path).has_value());
    return path.string();
  }
  static RunResult run(const std::vector<std::string>& args) { return ixo::test::run_program(args); }
  static std::string size_text(const std::string& path) { return ixo::pack::human(fs::file_size(path)); }

  fs::path dir_;
};

void expect_result(const RunResult& r, int status, const std::string& out, const std::string& err) {
  EXPECT_EQ(r.status, status) << ixo::test::show(r);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
}

ArchiveBuilder stored(uint16_t version = 7) { return ArchiveBuilder({.version = version, .codec = Codec::Store}); }

TEST_F(CommandLine, ListsEveryEntryKind) {
  ArchiveBuilder b = stored();
  b.add_file("a.txt", "hello", {.mode = 0644, .mtime = 1700000000});
  b.add(ArchiveBuilder::dir("d"));
  b.add(ArchiveBuilder::symlink("l", "x"));
  b.add(ArchiveBuilder::hardlink("h", "a.txt"));
  // The listing decodes nothing, so the stored forms need not be real containers.
  const auto digest = ixo::test::digest_of(ixo::test::bytes_of("any"));
  b.add(b.transformed("photo.jpg", ixo::test::transform_id::Jpeg, Bytes(100, 'j'), 160, digest));
  b.add(b.transformed("page.pdf", ixo::test::transform_id::Preflate, Bytes(300, 'p'), 250, digest));
  b.add(b.transformed("tool.exe", ixo::test::transform_id::BcjX86, Bytes(50, 'x'), 50, digest));
  b.snapshot(1700000000);
  b.commit();
  const std::string path = save(b);
  expect_result(run({"-l", path}), 0,
                "             5  a.txt\n"
                "             0  d/\n"
                "             0  l -> x\n"
                "             0  h => a.txt\n"
                "           160  photo.jpg  [jpeg]\n"
                "           250  page.pdf  [preflate]\n"
                "            50  tool.exe  [bcj-x86]\n"
                "7 files, 465 B\n"
                "\n"
                "archive " + size_text(path) + ": 455 B unique data in 1 blocks, 1 snapshot(s):\n"
                "  #1   2023-11-14 22:13 UTC         7 files       465 B\n",
                "");
}

// Three states, the second written as edits of the first; the per-snapshot lines cover all of them whatever -s
// chooses, and -s changes the entry lines and the totals only.
TEST_F(CommandLine, SeveralSnapshotsAndEdits) {
  ArchiveBuilder b = stored();
  b.add_file("a.txt", "hello");
  b.add_file("b.txt", "0123456789");
  b.add(ArchiveBuilder::dir("d"));
  b.snapshot(951782400);
  b.commit();
  b.add_file("c.txt", "abc");
  b.snapshot_edits(951868799, {EditSpec::copy(2, 1), EditSpec::add(b.take_pending()), EditSpec::copy(0, 1)});
  b.commit({.form = IndexForm::Chained});
  b.add_file("z.bin", std::string(2048, 'z'));
  b.snapshot(4102444800);
  b.commit({.form = IndexForm::Chained});
  const std::string path = save(b);

  const std::string tail = "\narchive " + size_text(path) +
                           ": 2.0 KB unique data in 3 blocks, 3 snapshot(s):\n"
                           "  #1   2000-02-29 00:00 UTC         3 files        15 B\n"
                           "  #2   2000-02-29 23:59 UTC         3 files         8 B\n"
                           "  #3   2100-01-01 00:00 UTC         1 files      2.0 KB\n";
  expect_result(run({"-l", path}), 0,
                "          2048  z.bin\n"
                "1 files, 2.0 KB\n" + tail,
                "");
  expect_result(run({"-l", "-s", "2", path}), 0,
                "             0  d/\n"
                "             3  c.txt\n"
                "             5  a.txt\n"
                "3 files, 8 B\n" + tail,
                "");
  expect_result(run({"--snapshot", "+1", "--list", path}), 0,
                "             5  a.txt\n"
                "            10  b.txt\n"
                "             0  d/\n"
                "3 files, 15 B\n" + tail,
                "");
  expect_result(run({"--info", "-s", "2", path}), 0,
                path + ": ixo format v7\n3 snapshot(s); the chosen one holds 3 entries, 8 B\nthis ixo-extract can read it\n",
                "");
}

TEST_F(CommandLine, SnapshotNumbersOutsideTheArchive) {
  ArchiveBuilder b = stored();
  for (int i = 0; i < 3; ++i) {
    b.add_file("f" + std::to_string(i), "x");
    b.snapshot(1);
  }
  b.commit();
  const std::string path = save(b);
  struct Case {
    const char* typed;
    const char* shown;  // the parsed number, in plain decimal
  };
  for (const Case& c : {Case{"0", "0"}, Case{"4", "4"}, Case{"99", "99"}, Case{"007", "7"}, Case{"+0", "0"},
                        Case{"18446744073709551615", "18446744073709551615"}}) {
    const std::string err = std::string("error: snapshot ") + c.shown + " does not exist (the archive has 3)\n";
    for (const char* mode : {"-l", "--info"}) expect_result(run({mode, "-s", c.typed, path}), 1, "", err);
  }
  EXPECT_EQ(run({"-l", "-s", "3", path}).status, 0);
}

// -l and --info take the whole snapshot: --file values are neither matched nor tested.
TEST_F(CommandLine, ListAndInfoIgnoreFileValues) {
  ArchiveBuilder b = stored();
  b.add_file("a.txt", "hello");
  b.add_file("b.txt", "hi");
  b.snapshot(1);
  b.commit();
  const std::string path = save(b);
  for (const char* mode : {"-l", "--info"}) {
    const RunResult plain = run({mode, path});
    ASSERT_EQ(plain.status, 0) << ixo::test::show(plain);
    expect_result(run({"--file", "../unsafe", mode, "--file", "missing", "--file", "", "-j", "0", path}), 0,
                  plain.out, "");
  }
}

TEST_F(CommandLine, SummaryOfEveryFormatVersion) {
  struct Case {
    uint16_t version;
    std::optional<uint16_t> segment_version;
  };
  const Case cases[] = {{1, {}}, {1, 3}, {2, {}}, {2, 3}, {3, {}}, {4, {}}, {5, {}}, {6, {}}, {7, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "v" << c.version << " segment " << c.segment_version.value_or(0));
    ArchiveBuilder b({.version = c.version, .segment_version = c.segment_version, .codec = Codec::Store});
    b.add_file("a.txt", "hello");
    b.add_file("b.txt", "0123456789");
    b.snapshot(1700000000);
    b.commit();
    const std::string path = save(b, "v" + std::to_string(c.version) + ".ixo");
    expect_result(run({"--info", path}), 0,
                  path + ": ixo format v" + std::to_string(c.version) +
                      "\n1 snapshot(s); the chosen one holds 2 entries, 15 B\nthis ixo-extract can read it\n",
                  "");
    // Segments before version 3 store no snapshot time.
    const bool timed = c.segment_version.value_or(c.version) >= 3;
    expect_result(run({"-l", path}), 0,
                  "             5  a.txt\n"
                  "            10  b.txt\n"
                  "2 files, 15 B\n"
                  "\n"
                  "archive " + size_text(path) + ": 15 B unique data in 1 blocks, 1 snapshot(s):\n" +
                      (timed ? "  #1   2023-11-14 22:13 UTC         2 files        15 B\n"
                             : "  #1   -                            2 files        15 B\n"),
                  "");
  }
}

// The archive path is printed as typed, not made absolute or tidied.
TEST_F(CommandLine, SummaryShowsThePathAsTyped) {
  ArchiveBuilder b = stored();
  b.snapshot(0);
  b.commit();
  save(b, "empty.ixo");
  const std::string typed = dir_.string() + "//./empty.ixo";
  expect_result(run({"--info", typed}), 0,
                typed + ": ixo format v7\n1 snapshot(s); the chosen one holds 0 entries, 0 B\n"
                        "this ixo-extract can read it\n",
                "");
}

TEST_F(CommandLine, InterruptedUpdateListsTheLastCompleteState) {
  ArchiveBuilder b = stored();
  b.add_file("a.txt", "hello");
  b.snapshot(1);
  b.commit();
  b.add_file("b.txt", std::string(3000, 'b'));
  b.write_blocks();  // blocks of an update whose index and footer never came
  const uint64_t tail = b.bytes().size() - b.state(0).end;
  const std::string path = save(b);
  expect_result(run({"-l", path}), 0,
                "             5  a.txt\n"
                "1 files, 5 B\n"
                "\n"
                "archive " + size_text(path) + ": 5 B unique data in 1 blocks, 1 snapshot(s):\n"
                "  #1   1970-01-01 00:00 UTC         1 files         5 B\n",
                "warning: ignoring " + std::to_string(tail) +
                    " bytes left by an interrupted update; using the last complete state\n");
}

// The newest index verifies but its base does not: the warning names the base's error, and the unique data is
// that of the state in use.
TEST_F(CommandLine, IntactNewestIndexOverADamagedBase) {
  ArchiveBuilder b = stored();
  b.add_file("a.txt", "hello");
  b.snapshot(1);
  b.commit();
  b.add_file("b.txt", "0123456789");
  b.snapshot(2);  // b.txt alone
  b.commit();     // a second full index
  b.add_file("c.txt", std::string(5000, 'c'));
  b.snapshot(3);
  b.commit({.form = IndexForm::Chained, .base_state = 0});
  b.flip(b.state(0).index_offset + 3);
  const std::string path = save(b);
  expect_result(run({"--info", path}), 0,
                path + ": ixo format v7\n2 snapshot(s); the chosen one holds 1 entries, 10 B\n"
                       "this ixo-extract can read it\n",
                "warning: the newest index is intact but builds on a damaged one (archive index checksum mismatch); "
                "using the last state that reads completely\n");
  const RunResult listing = run({"-l", path});
  EXPECT_EQ(listing.status, 0) << ixo::test::show(listing);
  EXPECT_NE(listing.out.find(": 15 B unique data in 2 blocks, 2 snapshot(s):\n"), std::string::npos) << listing.out;
}

// A newest update that needs a newer extractor is read in its last complete state; with none, status 3.
TEST_F(CommandLine, UnknownFeatureOfTheNewestUpdate) {
  ArchiveBuilder b = stored();
  b.add_file("a.txt", "hello");
  b.snapshot(1);
  b.commit({.extra_features = 8});
  const std::string alone = save(b, "alone.ixo");
  const std::string message = "archive needs format feature 3, which this ixo does not know (made by a newer ixo?)";
  for (const char* mode : {"-l", "--info"}) {
    expect_result(run({mode, alone}), 3, "", "error: " + message + "\n" + NEWER);
  }

  ArchiveBuilder c = stored();
  c.add_file("a.txt", "hello");
  c.snapshot(1);
  c.commit();
  c.add_file("b.txt", "more");
  c.snapshot(2);
  c.commit({.extra_features = 8});
  const std::string later = save(c, "later.ixo");
  expect_result(run({"--info", later}), 0,
                later + ": ixo format v7\n1 snapshot(s); the chosen one holds 1 entries, 5 B\n"
                        "this ixo-extract can read it\n",
                "warning: the newest index is intact but builds on a damaged one (" + message +
                    "); using the last state that reads completely\n");
}

TEST_F(CommandLine, NewerFormatVersion) {
  ArchiveBuilder b = stored(8);
  b.add_file("a.txt", "hello");
  b.snapshot(1);
  b.commit();
  const std::string path = save(b, "photos.ixo");
  const std::string err =
      "error: this archive uses ixo format v8, and this ixo reads v1 to v7 (made by a newer ixo?)\n" +
      std::string(NEWER);
  for (const char* mode : {"-l", "--info", "-t"}) expect_result(run({mode, path}), 3, "", err);
  expect_result(run({path}), 3, "", err);
  EXPECT_FALSE(fs::exists(dir_ / "photos"));  // the output folder comes after the opening
}

TEST_F(CommandLine, NotAnArchive) {
  const std::string text = save(stored(), "text.ixo");
  ASSERT_TRUE(ixo::test::write_file(text, ixo::test::bytes_of(std::string(100, 't'))).has_value());
  Bytes short_one = ixo::test::bytes_of("IXO2");
  short_one.resize(51, 0);
  short_one[4] = 7;
  const std::string too_short = dir_ / "short.ixo";
  ASSERT_TRUE(ixo::test::write_file(too_short, short_one).has_value());
  for (const std::string& path : {text, too_short}) {
    for (const char* mode : {"-l", "--info", "-t"}) {
      expect_result(run({mode, path}), 1, "", "error: not an ixo archive\n");
    }
  }
}

TEST_F(CommandLine, MissingArchive) {
  const std::string path = dir_ / "missing.ixo";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-l", path}, {"--info", path}, {"-t", path}, {path}, {path, (dir_ / "out").string()}}) {
    expect_result(run(args), 1, "", "error: No such file or directory (os error 2)\n");
  }
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

}  // namespace
