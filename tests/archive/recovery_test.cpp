#include <gtest/gtest.h>

#include "format/snapshot.h"
#include "open_helpers.h"

namespace ixo::test {
namespace {

// State 0: "a" in one snapshot. Later states add "b", "c", ... as edits of the list before.
ArchiveBuilder first_state() {
  ArchiveBuilder b;
  b.add_file("a", "first state");
  b.snapshot(1);
  b.commit();
  return b;
}

void add_update(ArchiveBuilder& b, const std::string& path, StateOptions options = {}) {
  b.add_file(path, "update " + path);
  const uint32_t prev = static_cast<uint32_t>(b.snapshot_list(b.snapshot_count() - 1).size());
  b.snapshot_edits(2, {EditSpec::copy(0, prev), EditSpec::add(b.take_pending())});
  b.commit(options);
}

size_t snapshots_of(const Opened& o) { return o.archive ? o.archive->snapshots.size() : 0; }

TEST(Recovery, InterruptedOrDamagedNewestState) {
  struct Case {
    const char* name;
    std::function<void(ArchiveBuilder&)> damage;
  };
  const Case cases[] = {
      {"blocks without a footer",
       [](ArchiveBuilder& b) {
         b.add_block(bytes_of("orphan block"));
         b.write_blocks();
       }},
      {"footer cut short",
       [](ArchiveBuilder& b) {
         add_update(b, "b", {.form = IndexForm::Chained});
         b.truncate(b.bytes().size() - 1);
       }},
      {"flipped segment byte",
       [](ArchiveBuilder& b) {
         add_update(b, "b", {.form = IndexForm::Chained});
         b.flip(b.state(1).index_offset + 2);
       }},
      {"flipped footer digest",
       [](ArchiveBuilder& b) {
         add_update(b, "b");
         b.flip(b.state(1).footer_offset + FOOTER_DIGEST_AT);
       }},
      {"newer segment version", [](ArchiveBuilder& b) { add_update(b, "b", {.footer = {.magic = Magic{'I', 'X', 'O', '8'}}}); }},
      {"wrong segment magic", [](ArchiveBuilder& b) { add_update(b, "b", {.footer = {.magic = Magic{'I', 'X', 'O', '6'}}}); }},
      {"zeros appended", [](ArchiveBuilder& b) { b.append(Bytes(100, 0)); }},
  };
  for (const Case& c : cases) {
    ArchiveBuilder b = first_state();
    const uint64_t end0 = b.state(0).end;
    c.damage(b);
    auto opened = open_built(b);
    ASSERT_TRUE(opened.archive) << c.name << ": " << opened.error();
    EXPECT_EQ(opened.warning, interrupted_warning(b.bytes().size() - end0)) << c.name;
    EXPECT_EQ(snapshots_of(opened), 1u) << c.name;
    EXPECT_EQ(opened.archive->len, b.bytes().size());
  }
}

TEST(Recovery, IntactNewestSegmentOverADamagedState) {
  struct Case {
    const char* name;
    std::function<void(ArchiveBuilder&)> build;
    std::string error;
    size_t snapshots;  // of the state in use
  };
  const Case cases[] = {
      {"damaged base segment",
       [](ArchiveBuilder& b) {
         add_update(b, "b", {.form = IndexForm::Chained});
         add_update(b, "c", {.form = IndexForm::Chained});
         b.flip(b.state(1).index_offset + 2);
       },
       "archive index checksum mismatch", 1},
      {"unknown feature bit",
       [](ArchiveBuilder& b) { add_update(b, "b", {.form = IndexForm::Chained, .extra_features = 8}); },
       "archive needs format feature 3, which this ixo does not know (made by a newer ixo?)", 1},
      {"unknown codec",
       [](ArchiveBuilder& b) {
         add_update(b, "b", {.edit_spec = [](IndexSpec& s) { s.blocks.back().codec = 4; }});
       },
       "unknown codec in archive", 1},
      {"newest full index damaged inside, an update before it intact",
       [](ArchiveBuilder& b) {
         add_update(b, "b", {.form = IndexForm::Chained});
         add_update(b, "c", {.edit_spec = [](IndexSpec& s) { s.trailing = {1}; }});
       },
       "unexpected trailing index data", 2},
  };
  for (const Case& c : cases) {
    ArchiveBuilder b = first_state();
    c.build(b);
    auto opened = open_built(b);
    ASSERT_TRUE(opened.archive) << c.name << ": " << opened.error();
    EXPECT_EQ(opened.warning, intact_warning(c.error)) << c.name;
    EXPECT_EQ(snapshots_of(opened), c.snapshots) << c.name;
  }
}

TEST(Recovery, NoEarlierStateKeepsTheFirstError) {
  {
    ArchiveBuilder b;
    b.add_file("a", "x");
    b.snapshot();
    b.commit({.extra_features = 16});
    auto opened = open_built(b);
    EXPECT_EQ(opened.error(), "archive needs format feature 4, which this ixo does not know (made by a newer ixo?)");
    ASSERT_FALSE(opened.archive);
    EXPECT_EQ(opened.archive.error().kind(), ErrorKind::Unsupported);
    EXPECT_EQ(opened.warning, "");
  }
  {
    ArchiveBuilder b = first_state();
    b.flip(b.state(0).index_offset);
    auto opened = open_built(b);
    EXPECT_EQ(opened.error(), "archive index checksum mismatch");
    EXPECT_EQ(opened.warning, "");
  }
}

TEST(Recovery, LatestCompleteStateWins) {
  // States 0, 1 and 2 are complete; 3 is cut short: state 2 is used.
  ArchiveBuilder b = first_state();
  add_update(b, "b", {.form = IndexForm::Chained});
  add_update(b, "c");
  add_update(b, "d", {.form = IndexForm::Chained});
  const uint64_t end2 = b.state(2).end;
  b.truncate(b.state(3).footer_offset + 10);
  auto opened = open_built(b);
  ASSERT_TRUE(opened.archive) << opened.error();
  EXPECT_EQ(opened.warning, interrupted_warning(b.bytes().size() - end2));
  EXPECT_EQ(snapshots_of(opened), 3u);
}

TEST(Recovery, MagicAcrossWindowBoundaries) {
  constexpr uint64_t MiB = 1 << 20;
  // The first window starts 1 MiB before the end; the earlier footer's magic starts k bytes before that, so that it
  // lies across the boundary for k of 1 to 3. Far tails need later windows.
  for (uint64_t k : {0, 1, 2, 3, 4}) {
    ArchiveBuilder b = first_state();
    const uint64_t end0 = b.state(0).end;
    b.append(Bytes(MiB - 4 + k, 0));
    auto opened = open_built(b);
    ASSERT_TRUE(opened.archive) << k << ": " << opened.error();
    EXPECT_EQ(opened.warning, interrupted_warning(b.bytes().size() - end0)) << k;
  }
  for (uint64_t tail : {2 * MiB - 4, 2 * MiB - 1, 3 * MiB + 5}) {
    ArchiveBuilder b = first_state();
    b.append(Bytes(tail, 0));
    auto opened = open_built(b);
    ASSERT_TRUE(opened.archive) << tail << ": " << opened.error();
    EXPECT_EQ(opened.warning, interrupted_warning(tail)) << tail;
  }
}

}  // namespace
}  // namespace ixo::test
