// Files published with their flushes outstanding together: failures injected into the writes, flushes and links of
// the platform layer, files without a staging name, folders held between files, and the one-hash check of a file
// of one plain chunk.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixture.h"
#include "platform/dir_entries.h"
#include "platform/flusher.h"
#include "platform/faults.h"
#include "platform/staging_file.h"
#include "restore/output_path.h"
#include "restore/output_tree.h"
#include "util/blake3.h"

namespace {

namespace fs = std::filesystem;
using namespace ixo;
using ixo::test::ArchiveBuilder;
using ixo::test::bytes_of;
using ixo::test::Codec;
using ixo::test::Entry;
using ixo::test::TempFolder;

// The injected failures: the nth call (counting from 1) of one kind fails with an error number; calls of the
// kind Unnamed may be refused outright, which makes every file use a named staging file. With flushes failing,
// every flush of a group's file system fails too, so that each file of the group is then flushed alone and the
// nth flush is that of the nth file; each: the disk counts as a file system whose files are flushed one by one.
struct Faults {
  static inline std::atomic<int> counts[10];
  static inline platform::faults::Call kind = platform::faults::Call::Flush;
  static inline int nth = 0;
  static inline int errnum = EIO;
  static inline bool refuse_unnamed = false;
  static inline bool each = false;

  static int hook(platform::faults::Call call) {
    using platform::faults::Call;
    const int seen = ++counts[static_cast<int>(call)];
    if (call == Call::Unnamed && refuse_unnamed) return EOPNOTSUPP;
    if (call == Call::Classify) return each ? 1 : 0;
    if (call == Call::SyncFs && kind == Call::Flush) return errnum;
    return call == kind && seen == nth ? errnum : 0;
  }
};

class Injected {
 public:
  Injected(platform::faults::Call kind, int nth, bool refuse_unnamed, bool each = false) {
    for (auto& c : Faults::counts) c = 0;
    Faults::kind = kind;
    Faults::nth = nth;
    Faults::refuse_unnamed = refuse_unnamed;
    Faults::each = each;
    platform::faults::set_hook(Faults::hook);
  }
  ~Injected() { platform::faults::set_hook(nullptr); }
  Injected(const Injected&) = delete;
  Injected& operator=(const Injected&) = delete;
};

std::string name_of(int i) { return "f" + std::to_string(100 + i); }

std::string content_of(int i) { return std::string(1000 + 37 * i, char('a' + i % 26)); }
std::string path_of(int i) { return (i % 2 ? "sub/" : "") + name_of(i); }

// Small verified files are written on a thread of their own: a write that fails there ends the run at that file
// as well, the files before it published and none after it.
TEST(PublishQueue, AFlushOrLinkFailureEndsTheRunAsIfFilesWentOneAtATime) {
  constexpr int FILES = 60;
  constexpr int FAILING = 37;  // the 37th write, flush or link fails: that of entry 37, as entry 10 is never
                               // written out nor flushed
  using Call = platform::faults::Call;
  // On a file system held in memory each flush is made at once, not through the ring: the same outcome.
  std::vector<fs::path> places{fs::temp_directory_path()};
  if (struct statfs st {}; ::statfs("/dev/shm", &st) == 0 && st.f_type == TMPFS_MAGIC) places.push_back("/dev/shm");
  for (const Call kind : {Call::Flush, Call::Link, Call::Write}) {
    for (const bool named : {false, true}) {
      for (const bool each : {false, true}) {
        for (const fs::path& place : places) {
          SCOPED_TRACE(std::string(kind == Call::Flush ? "flush" : kind == Call::Link ? "link" : "write") +
                       (named ? ", named staging" : ", unnamed") +
                       (each ? ", one flush per file" : "") + " in " + place.string());
          TempFolder t(place);
          ArchiveBuilder b({.version = 7, .codec = Codec::Zstd, .chunk_size = 4096});
          for (int i = 0; i < FILES; ++i) {
            // A file that fails its digest before the failing one prints its line; one after it prints nothing.
            if (i == 10 || i == 40) {
              Entry bad = b.file("sub/bad" + std::to_string(i), bytes_of("damaged " + std::to_string(i)));
              bad.digest[0] ^= 1;
              b.add(bad);
            } else {
              b.add_file(path_of(i), content_of(i));
            }
          }
          b.snapshot(1);
          b.commit();
          test::OpenedArchive opened = test::open_built(b, t / "a.ixo");

          std::string expected_lines;
          std::vector<std::string> expected_names{"sub"};
          for (int i = 0; i < FAILING; ++i) {
            if (i == 10) {
              expected_lines += "\nCHECKSUM MISMATCH: sub/bad10\n";
            } else {
              expected_names.push_back(path_of(i));
            }
            expected_lines += "\r  file " + std::to_string(i + 1) + "/" + std::to_string(FILES);
          }
          std::sort(expected_names.begin(), expected_names.end());

          Injected faults(kind, FAILING, named, each);
          const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, t / "out");
          ASSERT_FALSE(r.result.has_value());
          EXPECT_EQ(r.result.error().to_string(), "Input/output error (os error 5)");
          EXPECT_EQ(r.diagnostics, expected_lines);
          EXPECT_EQ(test::names_below(t / "out"), expected_names)
              << "a file after the failing one was published, or something was left staged";
          for (int i = 0; i < FAILING; ++i) {
            if (i != 10) {
              EXPECT_EQ(test::read_file(t / "out" / path_of(i)), content_of(i)) << i;
            }
          }
          if (!named) {
            EXPECT_GE(Faults::counts[static_cast<int>(Call::Unnamed)], FAILING) << "no unnamed staging file was made";
          }
        }
      }
    }
  }
}

// On a disk file system whose syncfs reports errors, small verified files wait for one flush of the file system;
// elsewhere, and for a large file, each takes its own.
TEST(PublishQueue, SmallFilesOnADiskShareOneFlushOfTheFileSystem) {
  TempFolder t;
  struct statfs st {};
  ASSERT_EQ(::statfs(t.path().c_str(), &st), 0);
  const bool listed = st.f_type == EXT4_SUPER_MAGIC || st.f_type == XFS_SUPER_MAGIC ||
                      st.f_type == BTRFS_SUPER_MAGIC || st.f_type == F2FS_SUPER_MAGIC;
  if (!listed) GTEST_SKIP() << "the temporary folder is not on a file system whose files are flushed in groups";
  using Call = platform::faults::Call;
  ArchiveBuilder b({.version = 7, .codec = Codec::Zstd, .chunk_size = 1 << 20});
  for (int i = 0; i < 300; ++i) b.add_file(path_of(i), content_of(i));
  b.add_file("large", std::string(17 << 20, 'L'));
  b.snapshot(1);
  b.commit();
  test::OpenedArchive opened = test::open_built(b, t / "a.ixo");
  for (const bool each : {false, true}) {
    SCOPED_TRACE(each ? "outside the list" : "in the list");
    fs::remove_all(t / "out");
    Injected count(Call::Link, 0, false, each);
    const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, t / "out");
    ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
    const int groups = Faults::counts[static_cast<int>(Call::SyncFs)];
    const int single = Faults::counts[static_cast<int>(Call::Flush)];
    if (each) {
      EXPECT_EQ(groups, 0);
      EXPECT_EQ(single, 301);
    } else {
      EXPECT_GE(groups, 1);
      EXPECT_LE(groups, 10) << "groups of a few files each";
      EXPECT_EQ(single, 1) << "the large file alone";
    }
    EXPECT_EQ(test::read_file(t / "out/large"), std::string(17 << 20, 'L'));
    EXPECT_EQ(test::read_file(t / "out" / path_of(299)), content_of(299));
  }
}

TEST(PublishQueue, ClosingPassesSeeEveryPublishedFile) {
  TempFolder t;
  ArchiveBuilder b({.version = 7, .codec = Codec::Zstd, .chunk_size = 4096});
  b.add(ArchiveBuilder::dir("d", {.mode = 0750, .mtime = 1000}));
  for (int i = 0; i < 80; ++i) b.add_file("d/" + name_of(i), std::string(500 + i, 'x'));
  // The last file is still in flight when the regular files are done: the link to it must find it.
  b.add(ArchiveBuilder::hardlink("d/last-link", "d/" + name_of(79)));
  b.add(ArchiveBuilder::symlink("d/sym", name_of(79)));
  b.snapshot(1);
  b.commit();
  test::OpenedArchive opened = test::open_built(b, t / "a.ixo");
  const test::RebuildOutcome r = test::run_rebuild(opened.archive, opened.list, t / "out");
  ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
  EXPECT_EQ(r.result->failures, 0u) << r.diagnostics;
  std::string expected;
  for (int i = 1; i <= 83; ++i) expected += "\r  file " + std::to_string(i) + "/83";
  EXPECT_EQ(r.diagnostics, expected);
  struct stat link {}, target {}, dir {};
  ASSERT_EQ(::lstat((t / "out/d/last-link").c_str(), &link), 0);
  ASSERT_EQ(::lstat((t / "out/d" / name_of(79)).c_str(), &target), 0);
  EXPECT_EQ(link.st_ino, target.st_ino);
  ASSERT_EQ(::lstat((t / "out/d").c_str(), &dir), 0);
  EXPECT_EQ(dir.st_mtim.tv_sec, 1000) << "the folder changed after its time was set";
  EXPECT_EQ(dir.st_mode & 07777, 0750u);
}

TEST(StagingFile, UnnamedIsInvisibleUntilLinkedAndNeverReplacesAName) {
  for (const bool through_proc : {false, true}) {
    SCOPED_TRACE(through_proc ? "/proc/self/fd" : "the descriptor itself");
    TempFolder t;
    test::write_text(t / "taken", "keep");
    auto dir = std::make_shared<const platform::File>(*platform::File::pass_dir(t.path()));
    platform::UnnamedLinks links;
    links.by_descriptor_refused = through_proc;
    {
      auto staging = platform::StagingFile::create_unnamed(dir, links);
      if (!staging) GTEST_SKIP() << "no unnamed files here: " << staging.error().to_string();
      EXPECT_TRUE(staging->unnamed());
      const std::string data(20000, 'u');
      ASSERT_TRUE(staging->write({reinterpret_cast<const uint8_t*>(data.data()), data.size()}).has_value());
      ASSERT_TRUE(staging->prepare(platform::FileTime{7, 0}, 0600).has_value());
      ASSERT_TRUE(staging->file().sync_all().has_value());
      EXPECT_EQ(test::names_below(t.path()), std::vector<std::string>{"taken"}) << "visible before its link";
      ASSERT_TRUE(staging->link_at("final", links).has_value());
      EXPECT_EQ(test::read_file(t / "final"), data);
    }
    {
      auto staging = platform::StagingFile::create_unnamed(dir, links);
      ASSERT_TRUE(staging.has_value());
      ASSERT_TRUE(staging->write({reinterpret_cast<const uint8_t*>("new"), 3}).has_value());
      ASSERT_TRUE(staging->prepare(std::nullopt, std::nullopt).has_value());
      const Status linked = staging->link_at("taken", links);
      ASSERT_FALSE(linked.has_value());
      EXPECT_EQ(linked.error().kind(), ErrorKind::AlreadyExists);
    }
    EXPECT_EQ(test::read_file(t / "taken"), "keep");
    EXPECT_EQ(test::names_below(t.path()), (std::vector<std::string>{"final", "taken"}));
    struct stat st {};
    ASSERT_EQ(::lstat((t / "final").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_mtim.tv_sec, 7);
    EXPECT_EQ(st.st_nlink, 1u);
  }
}

TEST(StagingFile, NamedInAHeldFolderIsRemovedUnlessLinked) {
  TempFolder t;
  auto dir = std::make_shared<const platform::File>(*platform::File::pass_dir(t.path()));
  platform::UnnamedLinks links;
  {
    auto staging = platform::StagingFile::create_at(dir, ".s1");
    ASSERT_TRUE(staging.has_value());
    EXPECT_EQ(platform::StagingFile::create_at(dir, ".s1").error().kind(), ErrorKind::AlreadyExists);
    ASSERT_TRUE(staging->write({reinterpret_cast<const uint8_t*>("abc"), 3}).has_value());
    ASSERT_TRUE(staging->prepare(std::nullopt, 0640).has_value());
    ASSERT_TRUE(staging->link_at("final", links).has_value());
  }
  { ASSERT_TRUE(platform::StagingFile::create_at(dir, ".s2").has_value()); }
  EXPECT_EQ(test::names_below(t.path()), std::vector<std::string>{"final"});
  EXPECT_EQ(test::read_file(t / "final"), "abc");
}

TEST(Flusher, ManyOutstandingEachReapedOnceWithItsOwnResult) {
  // Every flush through the ring, every one on a file system held in memory (nothing to flush), and the two
  // mixed.
  for (const int in_memory_every : {0, 1, 3}) {
    SCOPED_TRACE("in memory every " + std::to_string(in_memory_every));
    TempFolder t;
    std::vector<platform::File> files;
    for (int i = 0; i < 12; ++i) files.push_back(*platform::File::create_new(t / std::to_string(i)));
    Injected faults(platform::faults::Call::Flush, 5, false);
    platform::Flusher flusher(8);
    std::vector<int> seen(files.size(), 0);
    size_t next = 0;
    while (next < files.size() || flusher.outstanding() > 0) {
      while (next < files.size() && flusher.outstanding() < flusher.capacity()) {
        flusher.submit(files[next].fd(), 1000 + next, in_memory_every != 0 && next % in_memory_every == 0);
        ++next;
      }
      std::optional<platform::Flusher::Done> done = flusher.reap(true);
      ASSERT_TRUE(done.has_value());
      const size_t i = done->token - 1000;
      ASSERT_LT(i, files.size());
      ++seen[i];
      if (i == 4) {
        ASSERT_FALSE(done->result.has_value());
        EXPECT_EQ(done->result.error().os_error(), EIO);
      } else {
        EXPECT_TRUE(done->result.has_value()) << i;
      }
    }
    EXPECT_EQ(seen, std::vector<int>(files.size(), 1));
    EXPECT_FALSE(flusher.reap(true).has_value());
    if (in_memory_every == 1) {
      EXPECT_FALSE(flusher.asynchronous()) << "a ring was set up for flushes that never needed one";
    }
  }
}

TEST(Flusher, AFileSystemHeldInMemoryIsToldApart) {
  TempFolder t;
  const Result<platform::File> here = platform::File::pass_dir(t.path());
  ASSERT_TRUE(here.has_value());
  struct statfs st {};
  ASSERT_EQ(::statfs(t.path().c_str(), &st), 0);
  EXPECT_EQ(here->flush_is_free(), st.f_type == TMPFS_MAGIC || st.f_type == RAMFS_MAGIC);
  if (const Result<platform::File> shm = platform::File::pass_dir("/dev/shm");
      shm && ::statfs("/dev/shm", &st) == 0 && st.f_type == TMPFS_MAGIC) {
    EXPECT_TRUE(shm->flush_is_free());
  }
  EXPECT_FALSE(platform::File().flush_is_free()) << "a closed descriptor tells nothing";
}

// What output_path and a look at the final name say, for comparison.
std::string by_paths(const fs::path& root, const std::string& path) {
  Result<fs::path> final_path = pack::output_path(root, path);
  if (!final_path) return final_path.error().to_string();
  struct stat st;
  if (::lstat(final_path->c_str(), &st) == 0) return "output already exists";
  if (errno != ENOENT) return Error::os(errno).to_string();
  return "ok " + final_path->string();
}

std::string by_tree(pack::OutputTree& tree, const std::string& path) {
  Result<pack::Place> place = tree.place_file(path);
  if (!place) return place.error().to_string();
  const fs::path final_path = tree.final_path(path);
  EXPECT_EQ(final_path.filename().string(), place->name);
  return "ok " + final_path.string();
}

TEST(OutputTree, SameAnswersAsWholePathsFolderByFolder) {
  TempFolder t;
  const fs::path root = t / "out";
  fs::create_directories(root / "real/inner");
  fs::create_directory(t / "outside");
  fs::create_directory_symlink(t / "outside", root / "link");
  test::write_text(root / "file", "x");
  test::write_text(root / "real/taken", "x");
  fs::create_symlink("nowhere", root / "dangling");
  std::string deep;
  for (int i = 0; deep.size() < PATH_MAX; ++i) deep += std::string(200, char('a' + i % 26)) + "/";
  const std::string cases[] = {
      "new", "real/new", "real/inner/new", "a/b/c/new", "a/b/other", "a/new", "real/taken", "file",
      "dangling", "link/x", "file/x", "dangling/x", "../x", "a//b", "", "./a", std::string(300, 'n'),
      deep + "f", "real/" + std::string(300, 'n') + "/x", "real/new2",
  };
  // Two roots made alike, one per way, so that folders made by one do not answer for the other.
  fs::copy(root, t / "twin", fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  pack::OutputTree tree(t / "twin");
  for (const std::string& c : cases) {
    std::string want = by_paths(root, c);
    const std::string got = by_tree(tree, c);
    if (want.starts_with("ok ")) want = "ok " + fs::canonical(t / "twin").string() + want.substr(3 + root.string().size());
    EXPECT_EQ(got, want) << c.substr(0, 60);
  }
  EXPECT_EQ(test::names_below(root), test::names_below(t / "twin")) << "different folders were made";
  EXPECT_TRUE(fs::is_empty(t / "outside"));

  pack::OutputTree not_a_folder(root / "file");
  EXPECT_EQ(by_tree(not_a_folder, "x"), by_paths(root / "file", "x"));
  pack::OutputTree through_link(root / "link");
  EXPECT_EQ(by_tree(through_link, "x"), "output root is not a real directory");
}

TEST(OutputTree, AHeldFolderIsNeverLeftForALinkThatTakesItsPlace) {
  TempFolder t;
  fs::create_directory(t / "outside");
  pack::OutputTree tree(t / "out");
  Result<pack::Place> first = tree.place_file("d/a");
  ASSERT_TRUE(first.has_value());
  fs::rename(t / "out/d", t / "moved");
  fs::create_directory_symlink(t / "outside", t / "out/d");
  Result<pack::Place> second = tree.place_file("d/b");
  ASSERT_TRUE(second.has_value()) << second.error().to_string();
  auto staging = platform::StagingFile::create_at({second->parent, &second->parent->dir}, second->name);
  ASSERT_TRUE(staging.has_value());
  EXPECT_TRUE(fs::exists(t / "moved/b")) << "the file was not made in the folder held";
  EXPECT_TRUE(fs::is_empty(t / "outside"));
}

// A file of one plain chunk at version 5 and above takes its digest from the chunk's; the outcome is the same
// at every version: a digest or a length that differs is a mismatch.
TEST(OneChunkFiles, TheChunkDigestStandsForTheFilesOwnAndTheLengthIsStillChecked) {
  enum Fault { None, Digest, Length };
  for (const uint16_t version : {4, 5, 7}) {
    for (const Fault fault : {None, Digest, Length}) {
      SCOPED_TRACE("version " + std::to_string(version) + " fault " + std::to_string(fault));
      TempFolder t;
      ArchiveBuilder b({.version = version, .codec = Codec::Zstd, .chunk_size = 1 << 20});
      Entry e = b.file("one", bytes_of("the one chunk of this file"));
      ASSERT_EQ(e.chunks.size(), 1u);
      if (fault == Digest) e.digest[31] ^= 1;
      b.add(e);
      b.add_file("two", std::string(3 << 20, 'y'));  // several chunks: hashed as a whole
      b.snapshot(1);
      b.commit();
      test::OpenedArchive opened = test::open_built(b, t / "a.ixo");
      // The index reader refuses a size other than the chunks' length, so that entry is made here.
      format::FileEntry longer = *opened.list[0];
      longer.size += 1;
      std::vector<const format::FileEntry*> selection(opened.list.begin(), opened.list.end());
      if (fault == Length) selection[0] = &longer;
      for (const bool testing : {false, true}) {
        const test::RebuildOutcome r =
            test::run_rebuild(opened.archive, selection, testing ? std::nullopt : std::optional(t / "out"));
        ASSERT_TRUE(r.result.has_value()) << r.result.error().to_string();
        EXPECT_EQ(r.result->failures, fault == None ? 0u : 1u);
        EXPECT_EQ(r.diagnostics, fault == None ? "\r  file 1/2\r  file 2/2"
                                               : "\nCHECKSUM MISMATCH: one\n\r  file 1/2\r  file 2/2");
      }
      EXPECT_EQ(fs::exists(t / "out/one"), fault == None);
      EXPECT_EQ(test::read_file(t / "out/two"), std::string(3 << 20, 'y'));
    }
  }
}

}  // namespace
