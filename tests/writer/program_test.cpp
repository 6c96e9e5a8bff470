// Written archives through the programs: ixo-extract tests and restores them, and ixo-pack makes them from a
// folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/run_binary.h"
#include "support/writer/archive_writer.h"
#include "writer/file_check.h"

namespace ixo::test {
namespace {

namespace fs = std::filesystem;

Bytes read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void put_file(const fs::path& p, const Bytes& data) { ASSERT_TRUE(write_file(p, data)); }

// A tree with every kind of entry: nested folders, an empty file, a file of many chunks, a symbolic link and a
// hard link.
void make_tree(const fs::path& root) {
  fs::create_directories(root / "sub" / "deeper");
  put_file(root / "a.txt", bytes_of("hello\n"));
  put_file(root / "sub" / "empty", {});
  Bytes big(700000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  put_file(root / "sub" / "deeper" / "big.bin", big);
  put_file(root / "sub" / "copy.bin", big);  // deduplicated against big.bin
  fs::create_symlink("../a.txt", root / "sub" / "link");
  fs::create_hard_link(root / "a.txt", root / "sub" / "hard.txt");
  ::chmod((root / "a.txt").c_str(), 0640);
}

// The restored tree holds what the source holds: contents, link targets, modes and times of regular files.
void expect_same_tree(const fs::path& src, const fs::path& out, bool metadata) {
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(src)) {
    fs::path rel = e.path().lexically_relative(src);
    SCOPED_TRACE(rel.string());
    fs::path got = out / rel;
    struct stat s{}, g{};
    ASSERT_EQ(::lstat(e.path().c_str(), &s), 0);
    if (!metadata && !S_ISREG(s.st_mode)) continue;
    ASSERT_EQ(::lstat(got.c_str(), &g), 0);
    if (S_ISLNK(s.st_mode)) {
      EXPECT_TRUE(S_ISLNK(g.st_mode));
      EXPECT_EQ(fs::read_symlink(got), fs::read_symlink(e.path()));
    } else if (S_ISDIR(s.st_mode)) {
      EXPECT_TRUE(S_ISDIR(g.st_mode));
    } else {
      EXPECT_TRUE(S_ISREG(g.st_mode));
      EXPECT_EQ(read_all(got), read_all(e.path()));
      if (metadata) {
        EXPECT_EQ(g.st_mode & 0777, s.st_mode & 0777);
        EXPECT_EQ(g.st_mtim.tv_sec, s.st_mtim.tv_sec);
      }
    }
  }
}

TEST(WriterPrograms, EveryCodecAndRecipeTestsCleanInTheExtractor) {
  check::ScratchDir dir;
  for (uint16_t version : {1, 2, 3, 4, 5, 6, 7}) {
    SCOPED_TRACE(version);
    ArchiveBuilder b({.version = version, .block_size = 5000, .chunk_size = 1500});
    for (Codec codec : {Codec::Store, Codec::Zstd, Codec::Lzma2, Codec::Cm}) {
      b.close_block();
      b.options().codec = codec;
      Bytes data(4000);
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * (int(codec) + 3));
      b.add_file("plain" + std::to_string(int(codec)), data);
      if (version < 4) continue;  // recipes are stored from version 4 on
      Bytes w(1024);
      for (size_t i = 0; i < w.size(); ++i) w[i] = static_cast<uint8_t>(i ^ (i >> 3) ^ int(codec));
      uint32_t base = b.put_chunk(w, recipe::Planes2);
      std::vector<uint32_t> ids{base};
      for (uint8_t r = 1; r < 8; ++r) {
        Bytes v = w;
        v[r] ^= 0x5A;
        ids.push_back(b.put_chunk(v, r, base));
      }
      b.add(b.file_of_chunks("weights" + std::to_string(int(codec)), ids));
    }
    b.snapshot();
    b.commit();
    fs::path p = dir.path() / ("v" + std::to_string(version) + ".ixo");
    ASSERT_TRUE(b.save(p));
    RunResult r = run_program({"-t", p.string()});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_NE(r.out.find("all verified"), std::string::npos) << show(r);
  }
}

TEST(WriterPrograms, PackedFolderRestoresToTheSameTree) {
  check::ScratchDir dir;
  const fs::path src = dir.path() / "src";
  make_tree(src);
  struct Case {
    uint16_t version;
    Codec codec;
  };
  for (Case c : {Case{7, Codec::Zstd}, Case{7, Codec::Lzma2}, Case{7, Codec::Store}, Case{3, Codec::Zstd}}) {
    SCOPED_TRACE(testing::Message() << "version " << c.version << " codec " << int(c.codec));
    auto bytes = pack_folder(src, {.version = c.version, .codec = c.codec, .block_size = 100000,
                                   .chunk_size = 65536, .time = 1700000000});
    ASSERT_TRUE(bytes) << bytes.error().to_string();
    fs::path archive = dir.path() / "tree.ixo";
    fs::path out = dir.path() / ("out" + std::to_string(c.version) + std::to_string(int(c.codec)));
    put_file(archive, *bytes);
    RunResult r = run_program({archive.string(), out.string()});
    ASSERT_EQ(r.status, 0) << show(r);
    expect_same_tree(src, out, c.version >= 7);
    if (c.version >= 7) {
      struct stat a{}, h{};
      ASSERT_EQ(::lstat((out / "a.txt").c_str(), &a), 0);
      ASSERT_EQ(::lstat((out / "sub" / "hard.txt").c_str(), &h), 0);
      EXPECT_EQ(a.st_ino, h.st_ino);  // restored as a hard link
    }
  }
}

TEST(WriterPrograms, IxoPackMakesAnArchiveOfAFolder) {
  check::ScratchDir dir;
  const fs::path src = dir.path() / "src";
  make_tree(src);
  const fs::path archive = dir.path() / "packed.ixo";
  RunResult pack = run_program({"--codec", "lzma2", "--block-size", "256K", "--chunk-size", "32K", "--time", "99",
                                src.string(), archive.string()},
                               {.program = IXO_PACK_BIN});
  ASSERT_EQ(pack.status, 0) << show(pack);
  RunResult list = run_program({"-l", archive.string()});
  ASSERT_EQ(list.status, 0) << show(list);
  EXPECT_NE(list.out.find("sub/hard.txt => a.txt"), std::string::npos) << list.out;
  RunResult test = run_program({"-t", archive.string()});
  EXPECT_EQ(test.status, 0) << show(test);

  RunResult old = run_program({"--version", "2", src.string(), (dir.path() / "v2.ixo").string()},
                              {.program = IXO_PACK_BIN});
  ASSERT_EQ(old.status, 0) << show(old);
  EXPECT_EQ(run_program({"-t", (dir.path() / "v2.ixo").string()}).status, 0);

  for (std::vector<std::string> bad : {std::vector<std::string>{src.string()},
                                       {"--codec", "gzip", src.string(), archive.string()},
                                       {"--block-size", "0", src.string(), archive.string()},
                                       {"--frobnicate", src.string(), archive.string()}}) {
    RunResult r = run_program(bad, {.program = IXO_PACK_BIN});
    EXPECT_EQ(r.status, 2) << show(r);
    EXPECT_NE(r.err.find("usage: ixo-pack"), std::string::npos);
  }
  RunResult missing = run_program({(dir.path() / "nope").string(), archive.string()}, {.program = IXO_PACK_BIN});
  EXPECT_EQ(missing.status, 1) << show(missing);
  EXPECT_NE(missing.err.find("No such file or directory (os error 2)"), std::string::npos) << show(missing);
}

}  // namespace
}  // namespace ixo::test
