// Whole runs of the program: trees that come back byte for byte with their times and modes from archives of
// every format version and codec, the output folder next to the archive, --file, -t and the report.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cli_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace ixo::test;

void set_time(const fs::path& p, int64_t seconds, long nanos) {
  const struct timespec times[2] = {{.tv_sec = 0, .tv_nsec = UTIME_OMIT}, {.tv_sec = seconds, .tv_nsec = nanos}};
  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
}

// A small tree of every entry kind, with times down to the nanosecond and unusual modes.
void make_source(const fs::path& src) {
  fs::create_directories(src / "docs" / "deep");
  fs::create_directory(src / "empty");
  write_text(src / "a.txt", "hello\n");
  write_text(src / "same.txt", "hello\n");  // deduplicated against a.txt
  write_text(src / "empty.bin", "");
  std::string big;
  for (int i = 0; i < 40000; ++i) big += std::to_string(i * 7919 % 10007) + (i % 13 ? " " : "\n");
  write_text(src / "docs" / "big.txt", big);
  write_text(src / "docs" / "deep" / "run.sh", "#!/bin/sh\necho hi\n");
  fs::create_symlink("../a.txt", src / "docs" / "link");
  fs::create_hard_link(src / "a.txt", src / "docs" / "hard.txt");
  ::chmod((src / "a.txt").c_str(), 0640);
  ::chmod((src / "docs" / "deep" / "run.sh").c_str(), 0755);
  ::chmod((src / "empty.bin").c_str(), 0600);
  ::chmod((src / "docs" / "deep").c_str(), 0750);
  ::chmod((src / "empty").c_str(), 0700);
  int64_t t = 1'600'000'000;
  for (const char* p : {"a.txt", "same.txt", "empty.bin", "docs/big.txt", "docs/deep/run.sh"})
    set_time(src / p, t += 1000, 123'456'789);
  for (const char* p : {"docs/deep", "docs", "empty"}) set_time(src / p, t += 1000, 987'654'321);
}

// Hard-link groups compared by the first path of each inode, not by inode numbers.
Tree comparable(Tree tree) {
  std::map<ino_t, std::string> first;
  for (auto& [path, node] : tree) {
    if (node.type != Node::File) {
      node.inode = 0;
      continue;
    }
    auto [it, added] = first.emplace(node.inode, path);
    node.content += "#" + it->second;
    node.inode = 0;
  }
  return tree;
}

class Program : public ProgramTest {};

TEST_F(Program, EveryTreeComesBackFromEveryVersionAndCodec) {
  const fs::path src = path("src");
  make_source(src);
  const Tree source = comparable(read_tree(src));
  const mode_t mask = [] {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
  }();

  for (uint16_t version = 1; version <= 7; ++version) {
    for (Codec codec : {Codec::Store, Codec::Zstd, Codec::Lzma2}) {
      SCOPED_TRACE("version " + std::to_string(version) + " codec " + std::to_string(int(codec)));
      const std::string name = "v" + std::to_string(version) + "c" + std::to_string(int(codec));
      ASSERT_TRUE(pack_folder_to(src, path(name + ".ixo"),
                                 {.version = version, .codec = codec, .block_size = 64 << 10, .chunk_size = 5000})
                      .has_value());
      const RunResult tested = run({"-t", name + ".ixo"});
      const bool metadata = version == 7;
      const int files = metadata ? 5 : 6;  // without metadata the hard link is a file of its own
      EXPECT_EQ(tested.status, 0) << show(tested);
      EXPECT_TRUE(report_is(tested, "tested " + std::to_string(files) + " files in #s, all verified\n"));

      const RunResult r = run({name + ".ixo"});
      ASSERT_EQ(r.status, 0) << show(r);
      EXPECT_TRUE(report_is(r, "extracted " + std::to_string(files) + " files in #s, all verified\ninto ./" + name + "\n"));
      const uint64_t entries = metadata ? 10 : 6;
      EXPECT_EQ(r.err, progress(entries) + "\n");

      const Tree restored = comparable(read_tree(path(name)));
      if (metadata) {
        EXPECT_EQ(restored, source);
        continue;
      }
      // Only regular files, with their whole seconds; their modes are the default ones.
      for (const auto& [p, node] : source) {
        if (node.type != Node::File) continue;
        const auto it = restored.find(p);
        ASSERT_NE(it, restored.end()) << p;
        EXPECT_EQ(read_file(path(name) / p), read_file(src / p)) << p;
        EXPECT_EQ(it->second.mtime, node.mtime) << p;
        EXPECT_EQ(it->second.mtime_nanos, 0u) << p;  // nanoseconds are metadata
        EXPECT_EQ(it->second.mode, 0666 & ~mask) << p;
      }
    }
  }
}

TEST_F(Program, NewOutputFolderNextToTheArchive) {
  ArchiveBuilder b = stored_archive();
  b.add_file("f", "data");
  save(b, "photos.ixo");
  fs::copy_file(path("photos.ixo"), path("photos"));
  fs::create_directory(path("sub"));
  fs::copy_file(path("photos.ixo"), path("sub") / "x.tar.ixo");
  fs::copy_file(path("photos.ixo"), path("sub") / ".hidden");

  const struct Case {
    std::string archive, folder;
  } cases[] = {
      {"photos.ixo", "./photos (2)"},  // the archive without extension took "photos"
      {"photos.ixo", "./photos (3)"},
      {"photos", "./photos (4)"},
      {"sub/x.tar.ixo", "sub/x.tar"},
      {"sub/.hidden", "sub/.hidden (2)"},  // its own stem, and the archive's own name
  };
  for (const Case& c : cases) {
    const RunResult r = run({c.archive});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_TRUE(report_is(r, "extracted 1 files in #s, all verified\ninto " + c.folder + "\n"));
    EXPECT_EQ(read_file(path(c.folder) / "f"), "data") << c.folder;
  }
  const RunResult absolute = run_program({path("photos.ixo").string()});
  EXPECT_TRUE(report_is(absolute, "extracted 1 files in #s, all verified\ninto " + path("photos (5)").string() + "\n"));
}

TEST_F(Program, FolderStaysWhenALaterStepFails) {
  ArchiveBuilder b = stored_archive();
  b.add_file("f", "data");
  save(b, "photos.ixo");
  const RunResult r = run({"-s", "99", "photos.ixo"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: snapshot 99 does not exist (the archive has 1)\n");
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(fs::is_directory(path("photos")));
  EXPECT_TRUE(fs::is_empty(path("photos")));
}

TEST_F(Program, FileSelection) {
  ArchiveBuilder b = stored_archive();
  b.add_file("a", "target bytes", {.mode = 0600, .mtime = 100, .mtime_nanos = 5});
  b.add(ArchiveBuilder::dir("d", {.mode = 0700}));
  b.add_file("d/inner", "inner");
  b.add(ArchiveBuilder::hardlink("h", "a", {.mode = 0644}));
  save(b);

  const RunResult lone = run({"a.ixo", "one", "--file", "h", "--file", "h"});
  ASSERT_EQ(lone.status, 0) << show(lone);
  EXPECT_TRUE(report_is(lone, "extracted 1 files in #s, all verified\ninto one\n"));
  EXPECT_EQ(names_below(path("one")), std::vector<std::string>{"h"});
  const Tree one = read_tree(path("one"));
  EXPECT_EQ(one.at("h").type, Node::File);
  EXPECT_EQ(one.at("h").content, "target bytes");
  EXPECT_EQ(one.at("h").mode, 0644u);
  EXPECT_EQ(one.at("h").mtime, 100);
  EXPECT_EQ(one.at("h").mtime_nanos, 5u);

  const RunResult both = run({"a.ixo", "two", "--file", "h", "--file", "a", "--file", "d"});
  ASSERT_EQ(both.status, 0) << show(both);
  EXPECT_EQ(both.err, progress(3) + "\n");
  EXPECT_EQ(names_below(path("two")), (std::vector<std::string>{"a", "d", "h"}));
  const Tree two = read_tree(path("two"));
  EXPECT_EQ(two.at("h").inode, two.at("a").inode);
  EXPECT_EQ(two.at("d").mode, 0700u);

  const RunResult missing = run({"a.ixo", "three", "--file", "zz", "--file", "b", "--file", "a"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "error: file 'b' does not exist in the selected snapshot\n");
  for (const std::string value : {"a/", "/a", "a//b", "../a", "c:x", "", "./a"}) {
    const RunResult r = run({"a.ixo", "four", "--file", "a", "--file", value});
    EXPECT_EQ(r.status, 1) << value;
    EXPECT_EQ(r.err, "error: unsafe path in archive: " + value + "\n");
  }
  EXPECT_FALSE(fs::exists(path("three")));
  EXPECT_FALSE(fs::exists(path("four")));
}

TEST_F(Program, TestModeWritesNothing) {
  ArchiveBuilder b = stored_archive();
  b.add_file("a", "x");
  Entry bad = b.file("bad", bytes_of("y"));
  bad.digest[0] ^= 1;
  b.add(bad);
  b.add(ArchiveBuilder::symlink("s", "/etc/passwd"));
  save(b);
  const RunResult r = run({"-t", "a.ixo"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(report_is(r, "tested 2 files in #s, 1 FAILED\n"));
  EXPECT_EQ(r.err, "\r  file 1/3\nCHECKSUM MISMATCH: bad\n\r  file 2/3\r  file 3/3\n");
  EXPECT_EQ(names_below(t_.path()), std::vector<std::string>{"a.ixo"});
}

TEST_F(Program, EmptySnapshot) {
  ArchiveBuilder b = stored_archive();
  save(b, "none.ixo");
  const RunResult r = run({"none.ixo"});
  EXPECT_EQ(r.status, 0) << show(r);
  EXPECT_EQ(r.err, "") << "a newline without a progress line";
  EXPECT_TRUE(report_is(r, "extracted 0 files in #s, all verified\ninto ./none\n"));
  const RunResult t = run({"--test", "none.ixo"});
  EXPECT_EQ(t.err, "");
  EXPECT_TRUE(report_is(t, "tested 0 files in #s, all verified\n"));
}

TEST_F(Program, FatalErrorAfterTheProgressLine) {
  ArchiveBuilder b = stored_archive();
  b.add_file("a", "x");
  b.add_file("b", "y");
  b.snapshot(1);
  b.commit();
  b.flip(9);  // the stored byte of b: its chunk no longer matches its digest
  ASSERT_TRUE(b.save(path("a.ixo")).has_value());
  // One worker leaves the chunk digests to the main thread; more check them as they decode: the same outcome.
  for (const char* jobs : {"1", "2", "3"}) {
    SCOPED_TRACE(std::string("-j ") + jobs);
    fs::remove_all(path("out"));
    const RunResult r = run({"-j", jobs, "a.ixo", "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\r  file 1/2\nerror: chunk checksum mismatch\n");
    EXPECT_EQ(names_below(path("out")), std::vector<std::string>{"a"});
    const RunResult t = run({"-j", jobs, "-t", "a.ixo"});
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(t.out, "");
    EXPECT_EQ(t.err, "\r  file 1/2\nerror: chunk checksum mismatch\n");
  }
}

TEST_F(Program, TheShippedSampleExtracts) {
  const std::string sample = std::string(IXO_SOURCE_DIR) + "/samples/sample.ixo";
  const RunResult r = run({sample, "out"});
  ASSERT_EQ(r.status, 0) << show(r);
  EXPECT_TRUE(report_is(r, "extracted 4 files in #s, all verified\ninto out\n"));
  const fs::path tree = fs::path(IXO_SOURCE_DIR) / "samples" / "tree";
  for (const char* p : {"docs/notes.txt", "greet.sh", "hello.c"})
    EXPECT_EQ(read_file(path("out") / p), read_file(tree / p)) << p;
  const Tree out = read_tree(path("out"));
  EXPECT_EQ(out.at("bin/hello").mode, 0755u);
  EXPECT_EQ(out.at("bin").mtime, 1748779200);
}

}  // namespace
