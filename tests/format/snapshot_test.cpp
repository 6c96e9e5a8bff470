#include "format/snapshot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "byte_builder.h"

namespace ixo::format {
namespace {

using test::bytes::Builder;
using test::bytes::entry;
using test::bytes::EntryFields;
using test::bytes::link_fields;

EntryFields named(std::string_view path) {
  EntryFields f;
  f.path = path;
  return f;
}

// An edit list of copies (start, count) and adds of the named empty files.
struct Step {
  uint8_t tag;
  uint32_t start = 0;
  uint32_t count = 0;
  std::vector<std::string> paths;  // add
};

Step copy(uint32_t start, uint32_t count) { return Step{0, start, count, {}}; }
Step add(std::vector<std::string> paths) { return Step{1, 0, 0, std::move(paths)}; }
Step tag(uint8_t t) { return Step{t, 0, 0, {}}; }

std::vector<uint8_t> edit_list(const std::vector<Step>& steps) {
  Builder b;
  b.u32(static_cast<uint32_t>(steps.size()));
  for (const Step& s : steps) {
    b.u8(s.tag);
    if (s.tag == 1) {
      b.u32(static_cast<uint32_t>(s.paths.size()));
      for (const auto& p : s.paths) b.append(entry(7, false, named(p)));
    } else {
      b.u32(s.start).u32(s.count);
    }
  }
  return b.take();
}

std::string describe(const Result<Snapshot>& r) { return r ? "ok" : r.error().to_string(); }

std::vector<std::string> paths(const EntryList& list) {
  std::vector<std::string> out;
  for (const FileEntry* e : list) out.push_back(e->path);
  return out;
}

// A previous list of n entries named "p0", "p1", ...
struct Previous {
  explicit Previous(size_t n) {
    std::vector<FileEntry> entries(n);
    for (size_t i = 0; i < n; ++i) entries[i].path = "p" + std::to_string(i);
    snap = Snapshot::full(0, std::move(entries));
    list = snap.apply({});
  }
  Snapshot snap;
  EntryList list;
};

TEST(ReadEdits, Failures) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    const char* error;
  };
  const Case cases[] = {
      {"no edits", {}, nullptr},
      {"copy to the end", {copy(3, 5)}, nullptr},
      {"copy past the end", {copy(3, 6)}, "snapshot copies outside the previous snapshot"},
      {"copy of nothing", {copy(2, 0)}, "snapshot copies outside the previous snapshot"},
      // 2^32 - 1 + 2 must not wrap to 1.
      {"copy start near 2^32", {copy(0xFFFFFFFF, 2)}, "snapshot copies outside the previous snapshot"},
      {"copies in any order", {copy(5, 3), copy(0, 5)}, nullptr},
      {"overlapping copies", {copy(0, 5), copy(4, 2)}, "snapshot copies an entry twice"},
      {"the same copy twice", {copy(1, 1), add({"n"}), copy(1, 1)}, "snapshot copies an entry twice"},
      {"add of nothing", {add({})}, "empty snapshot edit"},
      {"unknown tag", {tag(2)}, "unknown snapshot edit"},
      {"adds and copies mixed", {add({"a"}), copy(7, 1), add({"b", "c"}), copy(0, 7)}, nullptr},
  };
  for (const Case& c : cases) {
    auto bytes = edit_list(c.steps);
    Reader r(bytes);
    auto got = read_edits(r, 7, false, {}, 0, 8);
    EXPECT_EQ(describe(got), c.error ? c.error : "ok") << c.name;
    if (got) {
      EXPECT_TRUE(r.at_end()) << c.name;
    }
  }
}

TEST(ReadEdits, TruncatedFields) {
  // The edit count, a tag, an add's count and a copy's two numbers each cut short.
  const std::vector<std::vector<uint8_t>> cut = {
      {1, 0, 0},
      {1, 0, 0, 0},
      {1, 0, 0, 0, 1, 1, 0},
      {1, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0},
  };
  for (const auto& bytes : cut) {
    Reader r(bytes);
    EXPECT_EQ(describe(read_edits(r, 7, false, {}, 0, 8)), "archive metadata is truncated");
  }
}

TEST(ReadEdits, EntryErrorsPassThrough) {
  Builder b;
  b.u32(1).u8(1).u32(1).append(entry(7, false, [] {
    EntryFields f;
    f.size = 1;  // no chunks for it
    return f;
  }()));
  Reader r(b.data());
  EXPECT_EQ(describe(read_edits(r, 7, false, {}, 0, 0)), "file size does not match its chunks");
}

TEST(ReadEdits, CopiesKeepTheirOrder) {
  Previous prev(8);
  auto bytes = edit_list({copy(5, 3), add({"new"}), copy(0, 5)});
  Reader r(bytes);
  auto snap = read_edits(r, 7, false, {}, 1234, prev.list.size());
  ASSERT_TRUE(snap) << snap.error().to_string();
  EXPECT_EQ(snap->time, 1234);
  EXPECT_EQ(list_length(*snap), 9u);
  EXPECT_EQ(paths(snap->apply(prev.list)),
            (std::vector<std::string>{"p5", "p6", "p7", "new", "p0", "p1", "p2", "p3", "p4"}));
  // Copied entries are the earlier snapshot's own records.
  EXPECT_EQ(snap->apply(prev.list)[0], prev.list[5]);
}

TEST(ReadEdits, FirstSnapshotCannotCopy) {
  auto bytes = edit_list({copy(0, 1)});
  Reader r(bytes);
  EXPECT_EQ(describe(read_edits(r, 7, false, {}, 0, 0)), "snapshot copies outside the previous snapshot");
}

TEST(Snapshot, FullHasOneAddOrNone) {
  std::vector<FileEntry> two(2);
  auto s = Snapshot::full(5, std::move(two));
  ASSERT_EQ(s.edits.size(), 1u);
  EXPECT_EQ(s.edits[0].tag, Edit::Add);
  EXPECT_EQ(s.edits[0].count, 2u);
  EXPECT_EQ(s.time, 5);
  EXPECT_TRUE(Snapshot::full(0, {}).edits.empty());
  EXPECT_TRUE(Snapshot::full(0, {}).apply({}).empty());
}

// Snapshots 0 (full), 1 (copies), 2 (adds only), 3 (copies): each list is built from its start point.
TEST(SnapshotFiles, StartsAtTheLastSnapshotWithoutCopies) {
  std::vector<Snapshot> snaps;
  Previous p0(3);  // p0 p1 p2
  snaps.push_back(std::move(p0.snap));
  for (const auto& steps : std::vector<std::vector<Step>>{
           {copy(2, 1), add({"a"}), copy(0, 1)},  // p2 a p0
           {add({"x", "y"})},                   // x y
           {copy(1, 1), add({"z"})},             // y z
       }) {
    auto bytes = edit_list(steps);
    Reader r(bytes);
    auto s = read_edits(r, 7, false, {}, 0, snaps.empty() ? 0 : list_length(snaps.back()));
    ASSERT_TRUE(s) << s.error().to_string();
    snaps.push_back(std::move(*s));
  }
  EXPECT_EQ(paths(snapshot_files(snaps, 0)), (std::vector<std::string>{"p0", "p1", "p2"}));
  EXPECT_EQ(paths(snapshot_files(snaps, 1)), (std::vector<std::string>{"p2", "a", "p0"}));
  EXPECT_EQ(paths(snapshot_files(snaps, 2)), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(paths(snapshot_files(snaps, 3)), (std::vector<std::string>{"y", "z"}));

  // Snapshot 3 starts at 2: a snapshot 1 that no longer matches its own edits does not matter to it.
  snaps[1].edits.clear();
  EXPECT_EQ(paths(snapshot_files(snaps, 3)), (std::vector<std::string>{"y", "z"}));
}

TEST(SnapshotFiles, EmptySnapshotIsAStartPoint) {
  std::vector<Snapshot> snaps;
  snaps.push_back(Previous(2).snap);
  snaps.push_back(Snapshot::full(0, {}));
  EXPECT_TRUE(snapshot_files(snaps, 1).empty());
}

TEST(CheckHardLinks, Cases) {
  auto make = [](uint8_t kind, std::string path, std::string target = {}) {
    FileEntry e;
    e.kind = kind;
    e.path = std::move(path);
    e.link_target = std::move(target);
    return e;
  };
  struct Case {
    const char* name;
    std::vector<FileEntry> list;
    const char* error;
  };
  const char* bad = "hard link does not name an earlier regular file";
  const Case cases[] = {
      {"no hard links", {make(1, "d"), make(2, "s", "nowhere"), make(0, "f")}, nullptr},
      {"link after its file", {make(0, "f"), make(1, "d"), make(3, "h", "f")}, nullptr},
      {"link before its file", {make(3, "h", "f"), make(0, "f")}, bad},
      {"link to a directory", {make(1, "d"), make(3, "h", "d")}, bad},
      {"link to a symlink", {make(2, "s", "f"), make(3, "h", "s")}, bad},
      {"link to a hard link", {make(0, "f"), make(3, "h", "f"), make(3, "h2", "h")}, bad},
      {"exact bytes", {make(0, "F"), make(3, "h", "f")}, bad},
  };
  for (const Case& c : cases) {
    EntryList list;
    for (const auto& e : c.list) list.push_back(&e);
    auto got = check_hard_links(list);
    EXPECT_EQ(got ? "ok" : got.error().to_string(), c.error ? c.error : "ok") << c.name;
  }
}

}  // namespace
}  // namespace ixo::format
