// The container as written: header, footer fields, segment digest and frame, data regions of chained states.
#include <gtest/gtest.h>

#include "support/writer/archive_writer.h"
#include "writer/file_check.h"

namespace ixo::test {
namespace {

using check::footer_before;
using check::u32_at;
using check::u64_at;

std::string text(const Magic& m) { return std::string(m.begin(), m.end()); }

// Checks one state against the file by hand and gives its decoded index.
Bytes verify_state(const Bytes& file, const StateLayout& st) {
  check::ReadFooter f = footer_before(file, st.end);
  EXPECT_EQ(f.index_offset, st.index_offset);
  EXPECT_EQ(f.stored_len, st.stored_len);
  EXPECT_EQ(f.raw_len, st.raw_len);
  EXPECT_EQ(st.index_offset + st.stored_len, st.end - FOOTER_LEN);
  std::span<const uint8_t> stored(file.data() + f.index_offset, f.stored_len);
  Digest d = digest_of(stored);
  EXPECT_TRUE(std::equal(f.digest.begin(), f.digest.end(), d.begin()));
  Bytes index = check::unzstd(stored, f.raw_len);
  EXPECT_EQ(index.size(), f.raw_len);
  EXPECT_EQ(index, st.index);
  return index;
}

TEST(WriterContainer, EachHeaderVersionGetsItsAdmittedFooter) {
  struct Case {
    uint16_t version;
    const char* magic;
    uint16_t segment;
  };
  for (Case c : {Case{1, "IXO2", 1}, Case{2, "IXO2", 2}, Case{3, "IXO3", 3}, Case{4, "IXO4", 4},
                 Case{5, "IXO5", 5}, Case{6, "IXO6", 6}, Case{7, "IXO7", 7}}) {
    SCOPED_TRACE(c.version);
    ArchiveBuilder b({.version = c.version});
    b.add_file("a.txt", "hello, world");
    b.snapshot(77);
    const StateLayout& st = b.commit();
    const Bytes& file = b.bytes();
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "IXO2");
    EXPECT_EQ(check::get_le(file, 4, 2), c.version);
    EXPECT_EQ(st.end, file.size());
    EXPECT_EQ(st.segment_version, c.segment);
    EXPECT_EQ(footer_before(file, st.end).magic, c.magic);
    Bytes index = verify_state(file, st);
    // The one block lies in the data region, before the index.
    ASSERT_EQ(st.map.block_at.size(), 1u);
    size_t rec = st.map.block_at[0];
    uint64_t stored_len = u64_at(index, rec + 10);
    uint64_t position = c.segment >= 3 ? u64_at(index, rec + 18) : HEADER_LEN;
    EXPECT_EQ(position, HEADER_LEN);
    EXPECT_LE(position + stored_len, st.index_offset);
  }
}

TEST(WriterContainer, FooterMagicFollowsTheSegmentVersionAlsoWhenMismatched) {
  EXPECT_EQ(text(footer_magic(1)), "IXO2");
  EXPECT_EQ(text(footer_magic(2)), "IXO2");
  EXPECT_EQ(text(footer_magic(6)), "IXO6");
  ArchiveBuilder b({.version = 5, .segment_version = 6});
  b.snapshot();
  const StateLayout& st = b.commit();
  EXPECT_EQ(footer_before(b.bytes(), st.end).magic, "IXO6");
  EXPECT_EQ(st.segment_version, 6);
  EXPECT_EQ(st.map.features_at, IndexMap::npos);  // a version-6 layout carries no flags
}

TEST(WriterContainer, ChainedStatesLinkToTheirBaseAndKeepToTheirDataRegion) {
  ArchiveBuilder b({.version = 7});
  b.add_file("a", "first state");
  b.snapshot(1);
  const StateLayout s0 = b.commit();
  b.add_file("b", "second state");
  b.snapshot(2);
  const StateLayout s1 = b.commit({.form = IndexForm::Chained});
  b.add_file("c", "third state, built on the first");
  b.snapshot(3);
  const StateLayout s2 = b.commit({.form = IndexForm::Chained, .base_state = 0});
  b.snapshot(4);
  const StateLayout s3 = b.commit();  // a new full index

  for (const StateLayout* st : {&s0, &s1, &s2, &s3}) verify_state(b.bytes(), *st);
  EXPECT_EQ(s1.begin, s0.end);
  EXPECT_EQ(u64_at(s0.index, 0), FEATURE_ENTRY_METADATA);
  EXPECT_EQ(u64_at(s1.index, 0), FEATURE_ENTRY_METADATA | FEATURE_CHAINED_INDEXES);
  EXPECT_EQ(s3.map.link_at, IndexMap::npos);

  struct Link {
    const StateLayout* st;
    const StateLayout* base;
    uint32_t depth;
  };
  for (Link l : {Link{&s1, &s0, 1}, Link{&s2, &s0, 1}}) {
    ASSERT_EQ(l.st->map.link_at, 8u);
    const Bytes& ix = l.st->index;
    EXPECT_EQ(u64_at(ix, 8), l.base->end);
    EXPECT_EQ(u32_at(ix, 16), l.base->blocks);
    EXPECT_EQ(u32_at(ix, 20), l.base->chunks);
    EXPECT_EQ(u32_at(ix, 24), l.base->snapshots);
    EXPECT_EQ(u32_at(ix, 28), l.depth);
    EXPECT_EQ(l.st->data_start, l.base->end);
    // Only the records after the base are listed, and they lie inside the state's data region.
    EXPECT_EQ(u32_at(ix, l.st->map.block_count_at), l.st->blocks - l.base->blocks);
    for (size_t rec : l.st->map.block_at) {
      uint64_t position = u64_at(ix, rec + 18);
      EXPECT_GE(position, l.base->end);
      EXPECT_LE(position + u64_at(ix, rec + 10), l.st->index_offset);
    }
  }
  // The state built on the first lists the second state's block again, as its own.
  EXPECT_EQ(u32_at(s2.index, s2.map.block_count_at), 2u);
  EXPECT_EQ(u32_at(s3.index, s3.map.block_count_at), 3u);
  EXPECT_EQ(u32_at(s3.index, s3.map.snapshot_count_at), 4u);
}

TEST(WriterContainer, OverridesReplaceExactlyTheirField) {
  ArchiveBuilder b({.version = 7});
  b.snapshot();
  b.commit();
  b.snapshot();
  const StateLayout& st = b.commit({
      .form = IndexForm::Chained,
      .extra_features = 1ull << 40,
      .link = {.base_blocks = 9, .depth = 65},
      .footer = {.raw_len = 123, .magic = Magic{'I', 'X', 'O', '9'}},
      .gap = Bytes(5, 0xEE),
  });
  check::ReadFooter f = footer_before(b.bytes(), st.end);
  EXPECT_EQ(f.magic, "IXO9");
  EXPECT_EQ(f.raw_len, 123u);
  EXPECT_EQ(f.index_offset, st.index_offset);
  EXPECT_EQ(st.index_offset, b.state(0).end + 5);
  EXPECT_EQ(u64_at(st.index, 0), FEATURE_ENTRY_METADATA | FEATURE_CHAINED_INDEXES | (1ull << 40));
  EXPECT_EQ(u64_at(st.index, 8), b.state(0).end);  // untouched
  EXPECT_EQ(u32_at(st.index, 16), 9u);
  EXPECT_EQ(u32_at(st.index, 28), 65u);
}

TEST(WriterContainer, RawSegmentBytesAreWrittenAsGiven) {
  ArchiveBuilder b({.version = 7});
  b.snapshot();
  const Bytes index{1, 2, 3};
  const Bytes stored{9, 8, 7, 6};
  const StateLayout& st = b.commit({.raw_index = index, .raw_stored = stored});
  EXPECT_EQ(st.raw_len, 3u);
  EXPECT_EQ(st.stored_len, 4u);
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), b.bytes().begin() + st.index_offset));
  check::ReadFooter f = footer_before(b.bytes(), st.end);
  Digest d = digest_of(stored);
  EXPECT_TRUE(std::equal(f.digest.begin(), f.digest.end(), d.begin()));

  ArchiveBuilder p({.version = 7});
  p.snapshot();
  const StateLayout& patched = p.commit({.patch_index = [](Bytes& ix, const IndexMap& m) {
    ix[m.block_count_at] = 0xFF;
  }});
  EXPECT_EQ(patched.index[patched.map.block_count_at], 0xFF);
  EXPECT_EQ(check::unzstd(std::span(p.bytes()).subspan(patched.index_offset, patched.stored_len), patched.raw_len),
            patched.index);
}

TEST(WriterContainer, DamageHelpersTouchOnlyWhatTheyName) {
  ArchiveBuilder b({.version = 7});
  b.add_file("a", "some content");
  b.snapshot();
  const StateLayout st = b.commit();
  const Bytes before = b.bytes();

  b.flip(st.footer_offset + FOOTER_DIGEST_AT, 0x01);
  b.set_header_version(8);
  b.set_header_magic(Magic{'N', 'O', 'P', 'E'});
  Bytes after = b.bytes();
  ASSERT_EQ(after.size(), before.size());
  size_t differ = 0;
  for (size_t i = 0; i < after.size(); ++i) differ += after[i] != before[i];
  EXPECT_EQ(differ, 1u + 1u + 4u);
  EXPECT_EQ(after[st.footer_offset + FOOTER_DIGEST_AT], before[st.footer_offset + FOOTER_DIGEST_AT] ^ 0x01);
  EXPECT_EQ(check::get_le(after, 4, 2), 8u);

  b.append(bytes_of("tail"));
  EXPECT_EQ(b.bytes().size(), before.size() + 4);
  b.truncate(st.end - 10);
  EXPECT_EQ(b.bytes().size(), st.end - 10);

  // An interrupted update: the blocks of a state with no index after them.
  ArchiveBuilder u({.version = 7});
  u.add_file("a", "x");
  u.snapshot();
  const StateLayout s0 = u.commit();
  u.add_file("b", Bytes(1000, 7));
  u.write_blocks();
  EXPECT_GT(u.bytes().size(), s0.end);
  EXPECT_EQ(u.state_count(), 1u);
}

}  // namespace
}  // namespace ixo::test
