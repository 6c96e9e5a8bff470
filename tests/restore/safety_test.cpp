// The safety of the output tree through the program itself: nothing lands outside the output folder, nothing
// is overwritten, and no partial or unverified file ever stands under its final name.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../transform/lepton_edit.h"
#include "../transform/sample_files.h"
#include "cli_fixture.h"
#include "util/human.h"
#include "platform/fs.h"
#include "transform/slots.h"
#include "util/blake3.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace ixo::test;

class Safety : public ProgramTest {
 protected:
  // Everything in the test folder outside out (the archive, and whatever a test put there).
  std::vector<std::string> outside_out() const {
    std::vector<std::string> names;
    for (const std::string& n : names_below(t_.path()))
      if (n != "out" && !n.starts_with("out/")) names.push_back(n);
    return names;
  }
  std::vector<std::string> in_out() const { return fs::exists(path("out")) ? names_below(path("out")) : std::vector<std::string>{}; }
};

bool has_staging_file(const std::vector<std::string>& names) {
  for (const std::string& n : names)
    if (fs::path(n).filename().string().starts_with(".ixo-restore-")) return true;
  return false;
}

TEST_F(Safety, UnsafeEntryPathsAreRefusedForEveryKind) {
  const std::string bad_paths[] = {"..", "../x", "a/../../x", "/abs", "/etc/passwd", "a//b", "a/",
                                   "./a", "a/./b", "c:x", "x:", "a\\b", "..\\x", ""};
  for (const std::string& bad : bad_paths) {
    for (uint8_t kind : {kind::Regular, kind::Directory, kind::Symlink, kind::HardLink}) {
      SCOPED_TRACE("path '" + bad + "' kind " + std::to_string(kind));
      ArchiveBuilder b = stored_archive();
      b.add_file("ok", "fine");
      if (kind == kind::Regular) b.add_file(bad, "evil");
      if (kind == kind::Directory) b.add(ArchiveBuilder::dir(bad, {.mode = 0777, .mtime = 5}));
      if (kind == kind::Symlink) b.add(ArchiveBuilder::symlink(bad, "ok"));
      if (kind == kind::HardLink) b.add(ArchiveBuilder::hardlink(bad, "ok"));
      save(b);
      const RunResult r = run({"a.ixo", "out"});
      EXPECT_EQ(r.status, 1) << show(r);
      if (kind == kind::Regular) {
        EXPECT_EQ(r.err, "\r  file 1/2\nerror: unsafe path in archive: " + bad + "\n");
        EXPECT_EQ(r.out, "");
      } else {
        EXPECT_EQ(r.err, "\r  file 1/2\nFAILED: " + bad + ": unsafe path in archive: " + bad + "\n\r  file 2/2\n");
        EXPECT_TRUE(report_is(r, "extracted 1 files in #s, 1 FAILED\ninto out\n"));
      }
      EXPECT_EQ(in_out(), std::vector<std::string>{"ok"});
      EXPECT_EQ(outside_out(), std::vector<std::string>{"a.ixo"});
      fs::remove_all(path("out"));
    }
  }
}

TEST_F(Safety, PathsWithNulBytesAreRefused) {
  ArchiveBuilder b = stored_archive();
  b.add_file("a", "keep");
  b.add(ArchiveBuilder::dir(std::string("d\0x", 3)));
  b.add_file(std::string("a\0b", 3), "evil");
  save(b);
  const RunResult r = run({"a.ixo", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\r  file 1/3\nerror: path contains a NUL byte: a\\0b\n");
  EXPECT_EQ(read_file(path("out/a")), "keep");
  EXPECT_EQ(in_out(), std::vector<std::string>{"a"});
}

TEST_F(Safety, SymbolicLinksNeverLeadFilesOutside) {
  fs::create_directory(path("outside"));
  ArchiveBuilder b = stored_archive();
  b.add(ArchiveBuilder::symlink("l", "../outside"));
  b.add_file("l/x", "under the link's name");
  // Each target stays inside on its own; together m would resolve above the folder.
  b.add(ArchiveBuilder::symlink("e", "."));
  b.add(ArchiveBuilder::symlink("m", "e/.."));
  b.add_file("m/y", "under the other link's name");
  save(b);
  const RunResult r = run({"a.ixo", "out"});
  EXPECT_EQ(r.status, 0) << show(r);
  EXPECT_EQ(r.err,
            "\r  file 1/5\r  file 2/5"
            "\nnot restored: l -> ../outside points outside the output folder\n\r  file 3/5\r  file 4/5"
            "\nnot restored: m -> e/.. points outside the output folder\n\r  file 5/5"
            "\nwarning: 2 symlink(s) not restored (see above)\n\n");
  EXPECT_TRUE(report_is(r, "extracted 2 files in #s, all verified\ninto out\n"));
  const Tree out = read_tree(path("out"));
  EXPECT_EQ(out.at("l").type, Node::Dir);
  EXPECT_EQ(out.at("m").type, Node::Dir);
  EXPECT_EQ(out.at("l/x").content, "under the link's name");
  EXPECT_EQ(fs::read_symlink(path("out/e")), ".");
  EXPECT_EQ(outside_out(), (std::vector<std::string>{"a.ixo", "outside"}));
}

TEST_F(Safety, DirectoryEntryWhereALinkAlreadyStands) {
  fs::create_directory(path("outside"));
  ::chmod(path("outside").c_str(), 0755);
  const int64_t outside_time = read_tree(t_.path()).at("outside").mtime;
  fs::create_directory(path("out"));
  fs::create_directory_symlink("../outside", path("out/d"));

  ArchiveBuilder only_dir = stored_archive();
  only_dir.add(ArchiveBuilder::dir("d", {.mode = 0700, .mtime = 10}));
  save(only_dir);
  const RunResult r = run({"a.ixo", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nFAILED: d: output exists and is not a directory\n\r  file 1/1\n");

  ArchiveBuilder with_file = stored_archive();
  with_file.add(ArchiveBuilder::dir("d", {.mode = 0700, .mtime = 10}));
  with_file.add_file("d/x", "through the link?");
  save(with_file);
  const RunResult f = run({"a.ixo", "out"});
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.err, "\nerror: output parent is not a real directory\n");

  const Tree tree = read_tree(t_.path());
  EXPECT_EQ(tree.at("outside").mode, 0755u);
  EXPECT_EQ(tree.at("outside").mtime, outside_time);
  EXPECT_TRUE(fs::is_empty(path("outside")));
}

TEST_F(Safety, HardLinksOutsideMissingOrToThemselvesAreRefusedAtOpening) {
  for (const std::string target : {"../x", "/etc/passwd", "missing", "h"}) {
    ArchiveBuilder b = stored_archive();
    b.add_file("a", "x");
    b.add(ArchiveBuilder::hardlink("h", target));
    save(b);
    const RunResult r = run({"a.ixo"});
    EXPECT_EQ(r.status, 1) << target;
    EXPECT_EQ(r.err, "error: hard link does not name an earlier regular file\n") << target;
    EXPECT_EQ(names_below(t_.path()), std::vector<std::string>{"a.ixo"}) << target;
  }
}

TEST_F(Safety, HardLinkOverItsOwnTarget) {
  ArchiveBuilder b = stored_archive();
  b.add_file("x", "the file");
  b.add(ArchiveBuilder::hardlink("x", "x"));
  save(b);
  const RunResult r = run({"a.ixo", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\r  file 1/2\nFAILED: x: File exists (os error 17)\n\r  file 2/2\n");
  EXPECT_EQ(read_file(path("out/x")), "the file");
  EXPECT_EQ(in_out(), std::vector<std::string>{"x"});
}

TEST_F(Safety, ExistingEntriesAreRefusedBeforeAnythingIsWritten) {
  fs::create_directories(path("out/sub"));
  write_text(path("out/b"), "keep b");
  write_text(path("out/sub/c"), "keep c");
  fs::create_symlink("nowhere", path("out/l"));
  const Tree before = read_tree(path("out"));

  ArchiveBuilder b = stored_archive();
  b.add_file("a", "new");
  b.add_file("b", "new b");
  b.add(ArchiveBuilder::dir("sub"));
  b.add_file("sub/c", "new c");
  b.add(ArchiveBuilder::symlink("l", "a"));
  save(b);
  const RunResult r = run({"a.ixo", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "error: 3 entries already exist in out; nothing was extracted and nothing was overwritten (choose a new "
            "folder):\n  b\n  sub/c\n  l\n");
  EXPECT_EQ(read_tree(path("out")), before);
}

TEST_F(Safety, FileWithAWrongDigestIsNeverPublished) {
  ArchiveBuilder b = stored_archive();
  Entry bad = b.file("bad", bytes_of("almost right"));
  bad.digest[5] ^= 0x10;
  b.add(bad);
  b.add_file("good", "right");
  save(b);
  const RunResult r = run({"a.ixo", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "\nCHECKSUM MISMATCH: bad\n\r  file 1/2\r  file 2/2\n");
  EXPECT_TRUE(report_is(r, "extracted 2 files in #s, 1 FAILED\ninto out\n"));
  EXPECT_EQ(in_out(), std::vector<std::string>{"good"}) << "the file or its staging file stayed";
}

TEST_F(Safety, TransformDecodersThatFailOrCrashAreFailuresOfTheirFile) {
  const Bytes jpeg = sample("baseline-320x240.jpg");
  const std::optional<Bytes> container = ixo::transform::encode_jpeg(jpeg);
  ASSERT_TRUE(container.has_value());
  LeptonParts parts = split_lepton(*container);
  ASSERT_EQ(std::erase_if(parts.sections, [](const auto& s) { return s.tag.starts_with("HH"); }), 1u);
  const Bytes crashing = join_lepton(parts);
  const Bytes garbage = bytes_of("no container at all");

  ArchiveBuilder b = stored_archive();
  b.options().chunk_size = 4096;
  b.add(b.transformed("crash.jpg", transform_id::Jpeg, crashing, jpeg.size(), digest_of(jpeg)));
  b.add(b.transformed("broken.jpg", transform_id::Jpeg, garbage, garbage.size() + 10, digest_of(jpeg)));
  b.add(b.transformed("good.jpg", transform_id::Jpeg, *container, jpeg.size(), digest_of(jpeg)));
  b.add_file("after.txt", "still extracted");
  save(b);
  const RunResult r = run({"a.ixo", "out"});
  EXPECT_EQ(r.status, 1) << show(r);
  EXPECT_TRUE(r.err.starts_with("\nFAILED: crash.jpg: jpeg decoder crashed while rebuilding a file\n\r  file 1/4"
                                "\nFAILED: broken.jpg: JPEG reconstruction failed: "))
      << r.err;
  EXPECT_TRUE(r.err.ends_with("\n\r  file 2/4\r  file 3/4\r  file 4/4\n")) << r.err;
  EXPECT_EQ(r.err.find("panicked"), std::string::npos) << "a crash report was printed";
  EXPECT_TRUE(report_is(r, "extracted 4 files in #s, 2 FAILED\ninto out\n"));
  EXPECT_EQ(in_out(), (std::vector<std::string>{"after.txt", "good.jpg"}));
  EXPECT_TRUE(read_file(path("out/good.jpg")) == std::string(jpeg.begin(), jpeg.end()));
}

// Files large enough to be flushed one by one, so that they appear one at a time and the kill can fall between
// them (small files appear a whole group at once).
TEST_F(Safety, ARunKilledInTheMiddleLeavesNoPartialFileUnderAFinalName) {
  constexpr int FILES = 8;
  const fs::path src = path("src");
  fs::create_directory(src);
  std::vector<std::string> contents;
  uint64_t x = 88172645463325252ull;
  for (int f = 0; f < FILES; ++f) {
    std::string data((17 << 20) + f, '\0');
    for (char& c : data) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      c = static_cast<char>(x);
    }
    write_text(src / ("f" + std::to_string(f)), data);
    contents.push_back(std::move(data));
  }
  ASSERT_TRUE(pack_folder_to(src, path("a.ixo"), {.codec = Codec::Store, .block_size = 4 << 20}).has_value());

  const pid_t pid = spawn_quiet({"a.ixo", "out"}, t_.path());
  ASSERT_GT(pid, 0);
  bool killed = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    int finals = 0;  // a bare listing: reading the files would slow the polling down
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path("out"), ec))
      finals += entry.path().filename().string().starts_with("f");
    int status;
    if (::waitpid(pid, &status, WNOHANG) == pid) break;  // finished before it could be stopped
    if (finals >= 2) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      killed = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  EXPECT_TRUE(killed) << "the run ended before it could be killed";
  int complete = 0;
  for (const std::string& n : in_out()) {
    if (!n.starts_with("f")) continue;
    const std::string got = read_file(path("out") / n);
    EXPECT_TRUE(got == contents[std::stoi(n.substr(1))]) << n << " stands under its name, " << got.size() << " bytes";
    ++complete;
  }
  EXPECT_GE(complete, 2);
  if (killed) {
    EXPECT_LT(complete, FILES);
  }
}

// A zstd frame of n zero bytes, made piece by piece.
Bytes zero_frame(uint64_t n) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setPledgedSrcSize(cctx, n);
  const std::vector<uint8_t> zeros(1 << 20);
  Bytes out;
  std::vector<uint8_t> buf(ZSTD_CStreamOutSize());
  for (uint64_t done = 0; done < n;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(zeros.size(), n - done));
    done += piece;
    ZSTD_inBuffer in{zeros.data(), piece, 0};
    const ZSTD_EndDirective mode = done == n ? ZSTD_e_end : ZSTD_e_continue;
    size_t left;
    do {
      ZSTD_outBuffer o{buf.data(), buf.size(), 0};
      left = ZSTD_compressStream2(cctx, &o, &in, mode);
      out.insert(out.end(), buf.data(), buf.data() + o.pos);
    } while (mode == ZSTD_e_end ? left != 0 : in.pos < in.size);
  }
  ZSTD_freeCCtx(cctx);
  return out;
}

Digest zero_digest(uint64_t n) {
  ixo::blake3::Hasher h;
  const std::vector<uint8_t> zeros(1 << 20);
  for (uint64_t done = 0; done < n; done += zeros.size()) h.update({zeros.data(), std::min<uint64_t>(zeros.size(), n - done)});
  return h.finalize();
}

TEST_F(Safety, FreeSpaceCountsTheFilesNotTheDeduplicatedChunk) {
  constexpr uint64_t GiB = 1ull << 30;
  const uint64_t free = *ixo::platform::free_space(t_.path());
  const uint64_t files = free / GiB + 2;
  const Digest digest = zero_digest(GiB);
  ArchiveBuilder b({.version = 7, .codec = Codec::Zstd, .retain_blocks = false});
  const Bytes frame = zero_frame(GiB);
  const uint32_t block = b.add_raw_block(frame, {.codec = 1, .raw_len = GiB, .stored_len = frame.size(),
                                                 .position = b.data_end()});
  const uint32_t chunk = b.add_chunk_record({.block = block, .offset = 0, .length = GiB, .digest = digest});
  for (uint64_t i = 0; i < files; ++i) {
    Entry e = ArchiveBuilder::dir("f" + std::to_string(i));
    e.kind = kind::Regular;
    e.size = e.stored_len = GiB;
    e.digest = digest;
    e.chunks = {chunk};
    b.add(e);
  }
  save(b);
  ASSERT_LT(fs::file_size(path("a.ixo")), 1u << 20);
  const RunResult r = run({"a.ixo", "out"});
  EXPECT_EQ(r.status, 1);
  const uint64_t needed = files * GiB;
  const std::string required = ixo::pack::human(needed + needed / 100 + (16 << 20));
  EXPECT_TRUE(r.err.starts_with("error: extracting needs about " + required + " but only ")) << r.err;
  EXPECT_TRUE(r.err.ends_with(" is free at " + t_.path().string() + "; nothing was extracted\n")) << r.err;
  EXPECT_EQ(outside_out(), std::vector<std::string>{"a.ixo"});
  EXPECT_FALSE(fs::exists(path("out")));
}

TEST_F(Safety, PathsTooLongForTheSystemEndWithAClearError) {
  const std::string long_name(300, 'n');
  std::string deep;
  for (int i = 0; i < 20; ++i) deep += std::string(250, 'a' + i) + "/";
  deep += "file";
  for (const std::string& bad : {long_name, deep}) {
    ArchiveBuilder b = stored_archive();
    b.add_file("ok", "fine");
    b.add_file(bad, "too long");
    save(b);
    const RunResult r = run({"a.ixo", "out"});
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_EQ(r.err, "\r  file 1/2\nerror: File name too long (os error 36)\n");
    EXPECT_FALSE(has_staging_file(in_out()));
    EXPECT_EQ(read_file(path("out/ok")), "fine");  // folders made on the way to the long one may stay
    EXPECT_EQ(outside_out(), std::vector<std::string>{"a.ixo"});
    fs::remove_all(path("out"));
  }

  ArchiveBuilder dir = stored_archive();
  dir.add(ArchiveBuilder::dir(long_name, {.mtime = 10}));
  save(dir);
  const RunResult d = run({"a.ixo", "out"});
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(d.err, "\nFAILED: " + long_name + ": File name too long (os error 36)\n\r  file 1/1\n");
  EXPECT_TRUE(in_out().empty());
}

}  // namespace
