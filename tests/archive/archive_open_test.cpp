#include <gtest/gtest.h>

#include "format/snapshot.h"
#include "open_helpers.h"

namespace ixo::test {
namespace {

// One state of one file "a.txt" in one snapshot.
ArchiveBuilder one_file(ArchiveOptions options = {}) {
  ArchiveBuilder b(std::move(options));
  b.add_file("a.txt", "hello, archive");
  b.snapshot(100);
  b.commit();
  return b;
}

TEST(ArchiveOpen, HeaderChecks) {
  {
    // 51 bytes are too short for a header and a footer, whatever they hold.
    Bytes bytes = bytes_of("IXO2");
    bytes.resize(51);
    bytes[4] = 7;
    EXPECT_EQ(open_bytes(bytes).error(), "not an ixo archive");
  }
  {
    ArchiveBuilder b = one_file();
    b.set_header_magic({'I', 'X', 'O', '3'});
    EXPECT_EQ(open_built(b).error(), "not an ixo archive");
  }
  for (uint16_t v : {0, 8, 0xFFFF}) {
    ArchiveBuilder b = one_file();
    b.set_header_version(v);
    auto opened = open_built(b);
    EXPECT_EQ(opened.error(), "this archive uses ixo format v" + std::to_string(v) +
                                  ", and this ixo reads v1 to v7 (made by a newer ixo?)");
    ASSERT_FALSE(opened.archive);
    EXPECT_EQ(opened.archive.error().kind(), ErrorKind::Unsupported);
    EXPECT_EQ(opened.warning, "");
  }
  {
    // A right header and 44 bytes that are no footer: the search finds nothing earlier either.
    Bytes bytes = bytes_of("IXO2");
    bytes.resize(52);
    bytes[4] = 7;
    EXPECT_EQ(open_bytes(bytes).error(), "archive footer is damaged");
  }
  {
    auto opened = pack::Archive::open(temp_archive_path());
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().to_string(), "No such file or directory (os error 2)");
  }
}

TEST(ArchiveOpen, HeaderAndSegmentVersionPairs) {
  for (uint16_t header = 1; header <= 7; ++header) {
    for (uint16_t digit = 2; digit <= 7; ++digit) {
      // Under "IXO2" the segment is laid out in the header's version when that is 1 or 2.
      const uint16_t layout = digit == 2 ? std::min<uint16_t>(header, 2) : digit;
      const bool admitted = digit >= 4 ? digit == header : digit == 3 ? header <= 3 : header <= 2;
      ArchiveBuilder b = one_file({.version = header, .segment_version = layout});
      auto opened = open_built(b);
      const std::string name = "header " + std::to_string(header) + " IXO" + std::to_string(digit);
      if (!admitted) {
        EXPECT_EQ(opened.error(), "archive footer is damaged") << name;
        continue;
      }
      ASSERT_TRUE(opened.archive) << name << ": " << opened.error();
      const pack::Archive& a = *opened.archive;
      EXPECT_EQ(a.version, header) << name;
      EXPECT_EQ(a.len, b.bytes().size());
      ASSERT_EQ(a.snapshots.size(), 1u) << name;
      // Segments of versions 1 and 2 store no time.
      EXPECT_EQ(a.snapshots[0].time, layout <= 2 ? 0 : 100) << name;
      auto list = format::snapshot_files(a.snapshots, 0);
      ASSERT_EQ(list.size(), 1u) << name;
      EXPECT_EQ(list[0]->path, "a.txt");
      EXPECT_EQ(list[0]->size, 14u);
      EXPECT_EQ(list[0]->stored_len, 14u);
      EXPECT_EQ(list[0]->digest, digest_of(bytes_of("hello, archive")));
      // The chunk digest is stored as far as the segment version holds it.
      const size_t width = layout <= 2 ? 0 : layout <= 4 ? 16 : 32;
      const Digest d = digest_of(bytes_of("hello, archive"));
      ASSERT_EQ(a.chunks.size(), 1u);
      for (size_t i = 0; i < 32; ++i) EXPECT_EQ(a.chunks[0].digest[i], i < width ? d[i] : 0) << name << " " << i;
      EXPECT_EQ(opened.warning, "") << name;
    }
  }
}

TEST(ArchiveOpen, FooterLocation) {
  struct Case {
    const char* name;
    FooterOverride footer;
    const char* error;
  };
  const Case cases[] = {
      {"index offset 7", {.index_offset = 7}, "bad index location"},
      {"stored past the footer", {.stored_len = 1 << 20}, "bad index location"},
      {"stored over 2^32", {.stored_len = (uint64_t{1} << 32) + 1}, "bad index location"},
      {"raw over 2^32", {.raw_len = (uint64_t{1} << 32) + 1}, "bad index location"},
      {"raw of 2^32 passes the location", {.raw_len = uint64_t{1} << 32}, "archive index size mismatch"},
      {"raw one short", {.raw_len = 0}, "archive index size mismatch"},
      {"digest", {.digest = std::array<uint8_t, 16>{}}, "archive index checksum mismatch"},
      {"magic", {.magic = Magic{'I', 'X', 'O', '8'}}, "archive footer is damaged"},
  };
  for (const Case& c : cases) {
    ArchiveBuilder b;
    b.add_file("a", "x");
    b.snapshot();
    b.commit({.footer = c.footer});
    EXPECT_EQ(open_built(b).error(), c.error) << c.name;
  }
  // raw_len one less than the frame holds: the decoder stops at raw_len + 1 bytes.
  ArchiveBuilder b;
  b.add_file("a", "x");
  b.snapshot();
  const auto& st = b.commit();
  b.put_u64_at(st.footer_offset + FOOTER_RAW_LEN_AT, st.raw_len - 1);
  EXPECT_EQ(open_built(b).error(), "archive index size mismatch");
}

TEST(ArchiveOpen, SegmentErrorsOfAFullIndex) {
  struct Case {
    const char* name;
    StateOptions options;
    const char* error;
  };
  const Case cases[] = {
      {"no snapshots", {.edit_spec = [](IndexSpec& s) { s.snapshots.clear(); }}, "archive has no snapshots"},
      {"block before the data region", {.edit_spec = [](IndexSpec& s) { s.blocks[0].position = 7; }},
       "block lies outside the archive data"},
      {"block into the index", {.edit_spec = [](IndexSpec& s) { s.blocks[0].stored_len += 1; }},
       "block lies outside the archive data"},
      {"trailing byte", {.edit_spec = [](IndexSpec& s) { s.trailing = {0}; }}, "unexpected trailing index data"},
      {"second frame", {.raw_stored = [] {
                          Bytes two = zstd_frame({});
                          Bytes again = zstd_frame({});
                          two.insert(two.end(), again.begin(), again.end());
                          return two;
                        }()},
       "unexpected bytes after the zstd frame"},
  };
  for (const Case& c : cases) {
    ArchiveBuilder b;
    b.add_file("a", "some bytes");
    b.snapshot();
    b.commit(c.options);
    EXPECT_EQ(open_built(b).error(), c.error) << c.name;
  }
}

// A full index and n chained segments; segment i adds file "f{i}" and copies the list before it.
ArchiveBuilder chain(size_t n, std::function<void(size_t, StateOptions&)> tweak = {}) {
  ArchiveBuilder b;
  b.add_file("f0", "zero");
  b.snapshot(0);
  b.commit();
  for (size_t i = 1; i <= n; ++i) {
    b.add_file("f" + std::to_string(i), "content " + std::to_string(i));
    b.snapshot_edits(static_cast<int64_t>(i), {EditSpec::copy(0, static_cast<uint32_t>(i)), EditSpec::add(b.take_pending())});
    StateOptions o{.form = IndexForm::Chained};
    if (tweak) tweak(i, o);
    b.commit(o);
  }
  return b;
}

TEST(ArchiveOpen, ChainsUpToSixtyFourSegments) {
  for (size_t n : {1, 64}) {
    ArchiveBuilder b = chain(n);
    auto opened = open_built(b);
    ASSERT_TRUE(opened.archive) << n << ": " << opened.error();
    EXPECT_EQ(opened.warning, "");
    const auto& a = *opened.archive;
    ASSERT_EQ(a.snapshots.size(), n + 1);
    auto list = format::snapshot_files(a.snapshots, n);
    ASSERT_EQ(list.size(), n + 1);
    EXPECT_EQ(list[0]->path, "f0");
    EXPECT_EQ(list[n]->path, "f" + std::to_string(n));
    EXPECT_EQ(a.blocks.size(), n + 1);
  }
}

TEST(ArchiveOpen, SixtyFifthChainedSegment) {
  ArchiveBuilder b = chain(65);
  // Honestly numbered, the 65th meets the depth check first.
  EXPECT_EQ(index_at(b, b.bytes().size()).error().to_string(), "index chain too long");
  auto opened = open_built(b);
  ASSERT_TRUE(opened.archive) << opened.error();
  EXPECT_EQ(opened.warning, intact_warning("index chain too long"));
  EXPECT_EQ(opened.archive->snapshots.size(), 65u);

  // With depths that never pass 64, the walk's own count refuses a 65th chained segment.
  ArchiveBuilder capped = chain(65, [](size_t i, StateOptions& o) { o.link.depth = static_cast<uint32_t>(std::min<size_t>(i, 64)); });
  EXPECT_EQ(index_at(capped, capped.bytes().size()).error().to_string(), "bad index chain");
}

TEST(ArchiveOpen, ChainLinkErrors) {
  struct Case {
    const char* name;
    ChainLinkOverride link;
    const char* error;
  };
  const Case cases[] = {
      {"depth skips one", {.depth = 2}, "bad index chain"},
      {"base past its own index", {.base_end = uint64_t{1} << 40}, "bad index chain"},
      {"base not at a footer", {.base_end = 60}, "archive footer is damaged"},
      {"block count of the base", {.base_blocks = 7}, "chained index does not match its base"},
      {"snapshot count of the base", {.base_snapshots = 0}, "chained index does not match its base"},
      {"depth 0", {.depth = 0}, "index chain too long"},
  };
  for (const Case& c : cases) {
    ArchiveBuilder b = chain(1, [&](size_t, StateOptions& o) { o.link = c.link; });
    EXPECT_EQ(index_at(b, b.bytes().size()).error().to_string(), c.error) << c.name;
    // Through Archive::open the intact newest segment gives way to the full index.
    auto opened = open_built(b);
    ASSERT_TRUE(opened.archive) << c.name;
    EXPECT_EQ(opened.warning, intact_warning(c.error)) << c.name;
    EXPECT_EQ(opened.archive->snapshots.size(), 1u);
  }
}

TEST(ArchiveOpen, ChainMaySkipStates) {
  // State 2 builds on state 0, passing over state 1 (whose records it lists again).
  ArchiveBuilder b = chain(1);
  b.add_file("g", "more");
  b.snapshot_edits(9, {EditSpec::copy(1, 1), EditSpec::add(b.take_pending())});
  b.commit({.form = IndexForm::Chained, .base_state = 0});
  auto opened = open_built(b);
  ASSERT_TRUE(opened.archive) << opened.error();
  EXPECT_EQ(opened.warning, "");
  const auto& a = *opened.archive;
  ASSERT_EQ(a.snapshots.size(), 3u);
  auto list = format::snapshot_files(a.snapshots, 2);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]->path, "f1");
  EXPECT_EQ(list[1]->path, "g");
}

TEST(ArchiveOpen, ChainedBlockBeforeItsBase) {
  ArchiveBuilder b = chain(1, [](size_t, StateOptions& o) {
    o.edit_spec = [](IndexSpec& s) { s.blocks.back().position = 8; };
  });
  EXPECT_EQ(index_at(b, b.bytes().size()).error().to_string(), "block lies outside the archive data");
}

TEST(ArchiveOpen, HardLinksAcrossAChain) {
  // The chained segment adds a hard link to a file of its base's last list.
  ArchiveBuilder b = chain(0);
  b.add(ArchiveBuilder::hardlink("h", "f0"));
  b.snapshot_edits(1, {EditSpec::copy(0, 1), EditSpec::add(b.take_pending())});
  b.commit({.form = IndexForm::Chained});
  auto opened = open_built(b);
  ASSERT_TRUE(opened.archive) << opened.error();
  auto list = format::snapshot_files(opened.archive->snapshots, 1);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1]->kind, format::HardLink);

  // Without the copy its target is gone.
  ArchiveBuilder lost = chain(0);
  lost.add(ArchiveBuilder::hardlink("h", "f0"));
  lost.snapshot_edits(1, {EditSpec::add(lost.take_pending())});
  lost.commit({.form = IndexForm::Chained});
  EXPECT_EQ(index_at(lost, lost.bytes().size()).error().to_string(),
            "hard link does not name an earlier regular file");
}

}  // namespace
}  // namespace ixo::test
