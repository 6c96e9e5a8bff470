#include "cli/listing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "format/records.h"
#include "archive/archive.h"

namespace {

using ixo::format::Edit;
using ixo::format::FileEntry;
using ixo::format::Snapshot;

FileEntry entry(std::string path, uint64_t size, uint8_t kind = ixo::format::Regular, std::string target = {},
                uint8_t transform = 0) {
  FileEntry e;
  e.path = std::move(path);
  e.size = size;
  e.stored_len = size;
  e.kind = kind;
  e.link_target = std::move(target);
  e.transform = transform;
  return e;
}

std::string capture(const std::function<void(std::FILE*)>& write) {
  std::FILE* file = std::tmpfile();
  write(file);
  std::fflush(file);
  std::string text(static_cast<size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  const size_t got = std::fread(text.data(), 1, text.size(), file);
  std::fclose(file);
  text.resize(got);
  return text;
}

ixo::pack::Archive make_archive(std::vector<Snapshot> snapshots, std::vector<uint64_t> block_lengths, uint64_t len,
                                uint16_t version) {
  ixo::format::Index index;
  for (uint64_t raw_len : block_lengths) index.blocks.push_back({.raw_len = raw_len});
  index.snapshots = std::move(snapshots);
  return ixo::pack::Archive(std::move(index), ixo::platform::File{}, len, version);
}

// Three snapshots: the first stored in full with every entry kind and every transform, the second as edits of
// it, the third empty, each with a different kind of date.
ixo::pack::Archive three_states() {
  std::vector<Snapshot> snapshots;
  snapshots.push_back(Snapshot::full(
      0, {entry("a.txt", 5), entry("d", 0, ixo::format::Directory), entry("l", 0, ixo::format::Symlink, "x"),
          entry("h", 0, ixo::format::HardLink, "a.txt"), entry("photo.jpg", 2048, 0, {}, 2),
          entry("page.pdf", 3000, 0, {}, 1), entry("tool.exe", 4096, 0, {}, 3),
          entry("huge.bin", 123456789012345678)}));
  Snapshot edits;
  edits.time = 951868799;
  edits.entries = {entry("new.txt", 10)};
  edits.edits = {Edit{Edit::Copy, 4, 1}, Edit{Edit::Add, 0, 1}, Edit{Edit::Copy, 0, 2}};
  snapshots.push_back(std::move(edits));
  snapshots.push_back(Snapshot::full(253402300800, {}));
  return make_archive(std::move(snapshots), {1 << 20, 5000, 3}, 1536, 7);
}

TEST(Listing, EveryEntryKindAndTheSnapshotLines) {
  const ixo::pack::Archive archive = three_states();
  const auto files = ixo::format::snapshot_files(archive.snapshots, 0);
  EXPECT_EQ(capture([&](std::FILE* out) { ixo::cli::list_archive(archive, files, out); }),
            "             5  a.txt\n"
            "             0  d/\n"
            "             0  l -> x\n"
            "             0  h => a.txt\n"
            "          2048  photo.jpg  [jpeg]\n"
            "          3000  page.pdf  [preflate]\n"
            "          4096  tool.exe  [bcj-x86]\n"
            "123456789012345678  huge.bin\n"
            "8 files, 114978094.6 GB\n"
            "\n"
            "archive 1.5 KB: 1.0 MB unique data in 3 blocks, 3 snapshot(s):\n"
            "  #1   -                            8 files 114978094.6 GB\n"
            "  #2   2000-02-29 23:59 UTC         4 files      2.0 KB\n"
            "  #3   10000-01-01 00:00 UTC        0 files         0 B\n");
}

// The chosen snapshot decides the entry lines and the totals only.
TEST(Listing, ChosenSnapshotWrittenAsEdits) {
  const ixo::pack::Archive archive = three_states();
  const auto files = ixo::format::snapshot_files(archive.snapshots, 1);
  const std::string text = capture([&](std::FILE* out) { ixo::cli::list_archive(archive, files, out); });
  EXPECT_EQ(text.substr(0, text.find("\narchive")),
            "          2048  photo.jpg  [jpeg]\n"
            "            10  new.txt\n"
            "             5  a.txt\n"
            "             0  d/\n"
            "4 files, 2.0 KB\n");
  EXPECT_NE(text.find("  #1   -  "), std::string::npos);
}

TEST(Listing, TotalsNeverWrap) {
  std::vector<Snapshot> snapshots;
  snapshots.push_back(Snapshot::full(1, {entry("a", UINT64_MAX / 2 + 1), entry("b", UINT64_MAX / 2 + 1)}));
  const ixo::pack::Archive archive = make_archive(std::move(snapshots), {}, 52, 7);
  const auto files = ixo::format::snapshot_files(archive.snapshots, 0);
  const std::string text = capture([&](std::FILE* out) { ixo::cli::list_archive(archive, files, out); });
  EXPECT_NE(text.find("2 files, 17179869184.0 GB\n"), std::string::npos) << text;
  EXPECT_NE(text.find("archive 52 B: 0 B unique data in 0 blocks, 1 snapshot(s):\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  #1   1970-01-01 00:00 UTC         2 files 17179869184.0 GB\n"), std::string::npos) << text;
}

TEST(Info, ThreeLines) {
  std::vector<Snapshot> snapshots(2);
  std::vector<FileEntry> entries;
  for (int i = 0; i < 1500; ++i) entries.push_back(entry("f" + std::to_string(i), i < 1024 ? 2048 : 0));
  snapshots.push_back(Snapshot::full(5, std::move(entries)));
  const ixo::pack::Archive archive = make_archive(std::move(snapshots), {}, 100, 7);
  const auto files = ixo::format::snapshot_files(archive.snapshots, 2);
  EXPECT_EQ(capture([&](std::FILE* out) { ixo::cli::print_info("some/photos.ixo", archive, files, out); }),
            "some/photos.ixo: ixo format v7\n"
            "3 snapshot(s); the chosen one holds 1500 entries, 2.0 MB\n"
            "this ixo-extract can read it\n");
}

}  // namespace
