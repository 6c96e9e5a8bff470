// Written archives read back through Archive::open: every header version against every footer magic, and the
// tables of every record kind as the builder meant them.
#include <gtest/gtest.h>

#include "format/records.h"
#include "archive/archive.h"
#include "support/writer/archive_writer.h"
#include "writer/file_check.h"

namespace ixo::test {
namespace {

Result<pack::Archive> open_bytes(const check::ScratchDir& dir, const Bytes& bytes) {
  std::filesystem::path p = dir.path() / "a.ixo";
  if (Status s = write_file(p, bytes); !s) return fail(s.error());
  return pack::Archive::open(p);
}

void expect_same_list(const format::EntryList& got, const std::vector<Entry>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(want[i].path);
    const format::FileEntry& g = *got[i];
    const Entry& w = want[i];
    EXPECT_EQ(g.path, w.path);
    EXPECT_EQ(g.kind, w.kind);
    EXPECT_EQ(g.size, w.size);
    EXPECT_EQ(g.mtime, w.mtime);
    EXPECT_EQ(g.mtime_nanos, w.mtime_nanos);
    EXPECT_EQ(g.mode, w.mode);
    EXPECT_EQ(g.digest, w.digest);
    EXPECT_EQ(g.transform, w.transform);
    EXPECT_EQ(g.stored_len, w.stored_len);
    EXPECT_EQ(g.chunks, w.chunks);
    EXPECT_EQ(g.link_target, w.link_target);
  }
}

// Header versions 0 to 9 against footer magics "IXO2" to "IXO7": the admitted pairings open with the segment
// version they imply, the others are damaged footers, and versions outside 1 to 7 are refused first.
TEST(WriterRoundTrip, EveryHeaderVersionAgainstEveryFooterMagic) {
  check::ScratchDir dir;
  for (uint16_t h = 0; h <= 9; ++h) {
    for (uint16_t digit = 2; digit <= 7; ++digit) {
      SCOPED_TRACE(testing::Message() << "header v" << h << " with IXO" << digit);
      const bool admitted = (h >= 4 && h <= 7 && digit == h) || (h >= 1 && h <= 3 && digit == 3) ||
                            (h >= 1 && h <= 2 && digit == 2);
      const uint16_t segment = digit == 2 && h >= 1 && h <= 2 ? h : digit;
      ArchiveBuilder b({.version = h, .segment_version = segment});
      b.add_file("a.txt", "pairing table");
      b.snapshot(1234);
      b.commit({.footer = {.magic = footer_magic(digit)}});
      auto archive = open_bytes(dir, b.bytes());
      if (h == 0 || h > 7) {
        ASSERT_FALSE(archive);
        EXPECT_EQ(archive.error().kind(), ErrorKind::Unsupported);
        EXPECT_EQ(archive.error().to_string(), "this archive uses ixo format v" + std::to_string(h) +
                                                   ", and this ixo reads v1 to v7 (made by a newer ixo?)");
      } else if (!admitted) {
        ASSERT_FALSE(archive);
        EXPECT_EQ(archive.error().to_string(), "archive footer is damaged");
      } else {
        ASSERT_TRUE(archive) << archive.error().to_string();
        EXPECT_EQ(archive->version, h);
        ASSERT_EQ(archive->snapshots.size(), 1u);
        EXPECT_EQ(archive->snapshots[0].time, segment >= 3 ? 1234 : 0);
        expect_same_list(format::snapshot_files(archive->snapshots, 0), b.snapshot_list(0));
        // The chunk digest as far as the segment version stores it.
        ASSERT_EQ(archive->chunks.size(), 1u);
        Digest want = digest_of(bytes_of("pairing table"));
        const size_t width = segment <= 2 ? 0 : segment <= 4 ? 16 : 32;
        std::fill(want.begin() + width, want.end(), 0);
        EXPECT_EQ(archive->chunks[0].digest, want);
      }
    }
  }
}

TEST(WriterRoundTrip, EveryRecordKindReadsBackAsWritten) {
  check::ScratchDir dir;
  ArchiveBuilder b({.version = 7, .block_size = 1000, .chunk_size = 300});
  Bytes big(2500);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31);
  b.add_file("big.bin", big, {.mode = 0640, .mtime = 1700000000, .mtime_nanos = 999999999});
  b.add(b.dir("docs", {.mode = 0755, .mtime = -5}));
  b.add_file("docs/empty", "");
  b.add(b.symlink("docs/link", "../big.bin"));
  b.add(b.hardlink("again.bin", "big.bin", {.mode = 0600}));
  const Bytes stored = bytes_of("preflate container bytes, longer than the file");
  b.add(b.transformed("t.png", transform_id::Preflate, stored, 10, digest_of(bytes_of("0123456789"))));
  b.snapshot(100);
  b.commit();

  // An update chained to it: copies, adds and a reordering.
  std::vector<Entry> adds{b.file("new.txt", bytes_of("new")), b.dir("newdir")};
  b.snapshot_edits(200, {EditSpec::copy(3, 1), EditSpec::copy(0, 1), EditSpec::add(adds), EditSpec::copy(4, 1)});
  b.commit({.form = IndexForm::Chained});
  // A full snapshot in a second chained segment, then all of it again as one new full index.
  b.add_file("only.txt", "only");
  b.snapshot(300);
  b.commit({.form = IndexForm::Chained});

  for (bool full : {false, true}) {
    SCOPED_TRACE(full ? "new full index" : "chain of three");
    if (full) b.commit();
    auto archive = open_bytes(dir, b.bytes());
    ASSERT_TRUE(archive) << archive.error().to_string();
    ASSERT_EQ(archive->snapshots.size(), 3u);
    EXPECT_EQ(archive->blocks.size(), b.block_count());
    EXPECT_EQ(archive->chunks.size(), b.chunk_count());
    for (size_t n = 0; n < 3; ++n) {
      SCOPED_TRACE(n);
      EXPECT_EQ(archive->snapshots[n].time, int64_t(100 * (n + 1)));
      expect_same_list(format::snapshot_files(archive->snapshots, n), b.snapshot_list(n));
    }
    EXPECT_EQ(b.snapshot_list(1).size(), 5u);
    EXPECT_EQ(b.snapshot_list(1)[1].path, "big.bin");
    EXPECT_EQ(b.snapshot_list(1)[4].path, "again.bin");
  }
}

TEST(WriterRoundTrip, SixtyFourChainedSegmentsOverOneFullIndex) {
  check::ScratchDir dir;
  ArchiveBuilder b({.version = 7});
  b.add_file("f0", "0");
  b.snapshot(0);
  b.commit();
  for (int i = 1; i <= 64; ++i) {
    b.add_file("f" + std::to_string(i), std::to_string(i));
    b.snapshot_edits(i, {EditSpec::copy(0, static_cast<uint32_t>(i)), EditSpec::add(b.take_pending())});
    b.commit({.form = IndexForm::Chained});
  }
  EXPECT_EQ(b.state(64).depth, 64u);
  auto archive = open_bytes(dir, b.bytes());
  ASSERT_TRUE(archive) << archive.error().to_string();
  ASSERT_EQ(archive->snapshots.size(), 65u);
  expect_same_list(format::snapshot_files(archive->snapshots, 64), b.snapshot_list(64));
  EXPECT_EQ(b.snapshot_list(64).size(), 65u);
}

TEST(WriterRoundTrip, WithoutEntryMetadataEveryEntryIsAPlainRegularFile) {
  check::ScratchDir dir;
  for (uint16_t v = 1; v <= 6; ++v) {
    SCOPED_TRACE(v);
    ArchiveBuilder b({.version = v});
    b.add_file("a", "aaaa", {.mode = 0644, .mtime = 3, .mtime_nanos = 5});
    b.snapshot();
    b.commit();
    auto archive = open_bytes(dir, b.bytes());
    ASSERT_TRUE(archive) << archive.error().to_string();
    const format::FileEntry& e = *format::snapshot_files(archive->snapshots, 0)[0];
    EXPECT_EQ(e.kind, format::Regular);
    EXPECT_EQ(e.mode, format::NO_MODE);
    EXPECT_EQ(e.mtime, 3);
    EXPECT_EQ(e.mtime_nanos, 0u);
  }
}

}  // namespace
}  // namespace ixo::test
