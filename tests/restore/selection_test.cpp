// Choosing what a run restores: --file values, hard links whose target stays behind, and the name of the new
// output folder next to the archive.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/output_folder.h"
#include "cli/selection.h"
#include "fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace ixo;

struct List {
  std::vector<std::unique_ptr<format::FileEntry>> owned;
  format::EntryList entries;

  format::FileEntry& add(std::string path, uint8_t kind, std::string target = {}) {
    auto e = std::make_unique<format::FileEntry>();
    e->path = std::move(path);
    e->kind = kind;
    e->link_target = std::move(target);
    entries.push_back(e.get());
    owned.push_back(std::move(e));
    return *owned.back();
  }
};

std::vector<std::string> paths_of(const cli::FileSelection& s) {
  std::vector<std::string> out;
  for (const format::FileEntry* e : s.entries) out.push_back(e->path);
  return out;
}

TEST(SelectFiles, ValuesNameEntriesExactly) {
  List list;
  list.add("d", format::Directory);
  list.add("d/a", format::Regular);
  list.add("b", format::Regular);
  const auto all = cli::select_files(list.entries, {});
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->entries, list.entries);

  const auto some = cli::select_files(list.entries, {"b", "d", "b"});
  ASSERT_TRUE(some.has_value());
  EXPECT_EQ(paths_of(*some), (std::vector<std::string>{"d", "b"})) << "list order; a folder selects itself alone";
  EXPECT_EQ(cli::select_files(list.entries, {"zz", "c", "b"}).error().to_string(),
            "file 'c' does not exist in the selected snapshot");
  EXPECT_EQ(cli::select_files(list.entries, {"b", "d/../b"}).error().to_string(), "unsafe path in archive: d/../b");
}

TEST(SelectFiles, HardLinkWithoutItsTargetBecomesACopyOfTheFirstTarget) {
  List list;
  format::FileEntry& first = list.add("t", format::Regular);
  first.size = 3;
  first.mtime = 100;
  first.mtime_nanos = 9;
  first.mode = 0600;
  first.chunks = {4, 5};
  first.digest[0] = 1;
  first.transform = 3;
  first.stored_len = 3;
  list.add("t", format::Regular).size = 77;  // a hostile second entry of the same path
  list.add("h", format::HardLink, "t").mode = 0755;

  const auto lone = cli::select_files(list.entries, {"h"});
  ASSERT_TRUE(lone.has_value());
  ASSERT_EQ(lone->entries.size(), 1u);
  const format::FileEntry& copy = *lone->entries[0];
  EXPECT_EQ(copy.kind, format::Regular);
  EXPECT_EQ(copy.path, "h");
  EXPECT_EQ(copy.mode, 0755u);
  EXPECT_EQ(copy.size, 3u);
  EXPECT_EQ(copy.mtime, 100);
  EXPECT_EQ(copy.mtime_nanos, 9u);
  EXPECT_EQ(copy.chunks, (std::vector<uint32_t>{4, 5}));
  EXPECT_EQ(copy.digest, first.digest);
  EXPECT_EQ(copy.transform, 3);
  EXPECT_EQ(copy.link_target, "");

  const auto both = cli::select_files(list.entries, {"h", "t"});
  ASSERT_TRUE(both.has_value());
  EXPECT_EQ(both->entries.back()->kind, format::HardLink) << "a link whose target is selected stays a link";

  List broken;
  broken.add("d", format::Directory);
  broken.add("h", format::HardLink, "d");
  EXPECT_EQ(cli::select_files(broken.entries, {"h"}).error().to_string(), "hard link target is missing");
}

TEST(ChooseOutputFolder, StemsAndTheFallbackName) {
  test::TempFolder t;
  const struct Case {
    std::string archive, folder;
  } cases[] = {
      {"photos.ixo", "photos"},         {"photos.ixo", "photos (2)"}, {"a.b.ixo", "a.b"},
      {".ixo", ".ixo"},                 {"trailing.", "trailing"},    {"bad\xff.ixo", "extracted"},
      {"bad\xfe.ixo", "extracted (2)"},
  };
  for (const Case& c : cases) {
    const auto folder = cli::choose_output_folder(t / c.archive);
    ASSERT_TRUE(folder.has_value()) << c.archive;
    EXPECT_EQ(*folder, t / c.folder);
    EXPECT_TRUE(fs::is_directory(*folder));
  }
  fs::create_directory(t / "n");
  for (int n = 2; n <= 9999; ++n) test::write_text(t / ("n (" + std::to_string(n) + ")"), "");
  const auto none = cli::choose_output_folder(t / "n.ixo");
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error().to_string(), "no free output folder name next to the archive");
  EXPECT_EQ(cli::choose_output_folder(t / "missing" / "x.ixo").error().kind(), ErrorKind::NotFound)
      << "parents are never made";
}

}  // namespace
