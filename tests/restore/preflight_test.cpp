// The pre-flight checks: letter-case collisions (on a destination made to report that it does not tell case
// apart), existing entries, free space, and the order in which they refuse.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixture.h"
#include "util/human.h"
#include "platform/fs.h"
#include "util/lossy_text.h"
#include "preflight/lowercase.h"
#include "preflight/preflight.h"

namespace {

namespace fs = std::filesystem;
using namespace ixo;
using ixo::test::TempFolder;

// Entries of the given kinds and sizes, and the selection over them.
struct Entries {
  std::vector<std::unique_ptr<format::FileEntry>> owned;
  std::vector<const format::FileEntry*> list;

  Entries& add(std::string path, uint8_t kind = format::Regular, uint64_t size = 0) {
    auto e = std::make_unique<format::FileEntry>();
    e->path = std::move(path);
    e->kind = kind;
    e->size = size;
    list.push_back(e.get());
    owned.push_back(std::move(e));
    return *this;
  }
};

// A destination that does not tell case apart: the capitalised probe name is found whenever the probe exists.
bool case_blind(const fs::path& capitalised) {
  const std::string name = capitalised.filename().string();
  if (!name.starts_with(".IXO-CASE-PROBE-")) return false;
  return fs::exists(capitalised.parent_path() / (".ixo-case-probe-" + name.substr(16)));
}

std::string groups_text(const std::vector<std::string>& paths) {
  std::vector<std::string_view> views(paths.begin(), paths.end());
  std::string text;
  for (const auto& group : preflight::case_collisions(views)) {
    text += '[';
    for (size_t i = 0; i < group.size(); ++i) text += (i ? "|" : "") + std::string(group[i]);
    text += ']';
  }
  return text;
}

TEST(CaseCollisions, Groups) {
  struct Case {
    std::vector<std::string> paths;
    std::string groups;
  };
  const Case cases[] = {
      {{"README", "readme"}, "[README|readme]"},
      {{"Docs/a", "docs/b"}, "[Docs|docs]"},
      {{"Docs/a", "docs/a"}, "[Docs|docs][Docs/a|docs/a]"},
      {{"a", "a/b"}, ""},
      {{"file", "File", "FILE"}, "[FILE|File|file]"},
      {{"file", "file"}, ""},
      {{"ΟΔΟΣ", "οδοσ"}, ""},   // a word-final capital sigma lowers to final sigma
      {{"ΟΔΟΣ", "οδος"}, "[ΟΔΟΣ|οδος]"},
      {{"ΣΑ", "σα"}, "[ΣΑ|σα]"},
      {{"İ", "i̇"}, "[i̇|İ]"},  // a capital with a two-character lower-case form; byte order within
      {{"b/X", "a/X", "B/x", "A/x"}, "[A|a][A/x|a/X][B|b][B/x|b/X]"},
  };
  for (const Case& c : cases) EXPECT_EQ(groups_text(c.paths), c.groups) << c.paths.front();
}

TEST(CaseCollisions, LowercaseIsTheUnicodeFullMapping) {
  EXPECT_EQ(preflight::to_lowercase("ABC/Déjà"), "abc/déjà");
  EXPECT_EQ(preflight::to_lowercase("ΟΔΟΣ ΟΔΟΣ."), "οδος οδος.");
  EXPECT_EQ(preflight::to_lowercase("\xff" "AB"), "\xff" "ab");  // not UTF-8: lowered as ASCII
}

TEST(Preflight, RefusesCollisionsOnlyWhereCaseIsNotToldApart) {
  TempFolder t;
  Entries e;
  e.add("README").add("readme").add("Docs", format::Directory).add("docs/x");
  EXPECT_TRUE(preflight::check(e.list, t / "out").has_value()) << "a destination that tells case apart";

  const Status refused = preflight::check(e.list, t / "out", case_blind);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(refused.error().to_string(),
            "2 group(s) of paths differ only in letter case, and the destination does not tell case apart; nothing "
            "was extracted (use --file to pick one of each, or extract to a case-sensitive folder):\n"
            "  Docs  <->  docs\n"
            "  README  <->  readme");
  EXPECT_TRUE(ixo::test::names_below(t.path()).empty()) << "the probe file stayed";
}

TEST(Preflight, ProbeSkipsNamesThatExistAndLeavesThemAlone) {
  TempFolder t;
  const std::string pid = std::to_string(::getpid());
  for (int i = 0; i < 3; ++i) ixo::test::write_text(t / (".ixo-case-probe-" + pid + "-" + std::to_string(i)), "");
  Entries e;
  e.add("A").add("a");
  EXPECT_FALSE(preflight::check(e.list, t.path(), case_blind).has_value());
  EXPECT_EQ(ixo::test::names_below(t.path()).size(), 3u);
  EXPECT_FALSE(fs::exists(t / (".ixo-case-probe-" + pid + "-3")));

  // All hundred names taken: the destination counts as telling case apart.
  for (int i = 3; i < 100; ++i) ixo::test::write_text(t / (".ixo-case-probe-" + pid + "-" + std::to_string(i)), "");
  EXPECT_TRUE(preflight::check(e.list, t.path(), case_blind).has_value());
}

TEST(Preflight, ExistingEntries) {
  TempFolder t;
  const fs::path out = t / "out";
  fs::create_directories(out / "dir");
  fs::create_directory_symlink(t / "nowhere", out / "dangling");
  for (int i = 0; i < 7; ++i) ixo::test::write_text(out / ("f" + std::to_string(i)), "");

  Entries one;
  one.add("dir", format::Directory).add("dir/new").add("dangling", format::Symlink);
  EXPECT_EQ(preflight::check(one.list, out).error().to_string(),
            "1 entry already exists in " + out.string() +
                "; nothing was extracted and nothing was overwritten (choose a new folder):\n  dangling");
  EXPECT_EQ(preflight::check(one.list, out).error().kind(), ErrorKind::AlreadyExists);

  Entries five, seven;
  for (int i = 0; i < 7; ++i) (i < 5 ? five : seven).add("f" + std::to_string(i));
  for (int i = 0; i < 5; ++i) seven.add("f" + std::to_string(i));
  EXPECT_EQ(preflight::check(five.list, out).error().to_string(),
            "5 entries already exist in " + out.string() +
                "; nothing was extracted and nothing was overwritten (choose a new folder):\n  f0\n  f1\n  f2\n  f3\n  f4");
  EXPECT_EQ(preflight::check(seven.list, out).error().to_string(),
            "7 entries already exist in " + out.string() +
                "; nothing was extracted and nothing was overwritten (choose a new folder):\n  f5\n  f6\n  f0\n  f1\n  f2"
                "\n  ... and 2 more");

  Entries below_file;
  below_file.add("f0/x");
  EXPECT_TRUE(preflight::check(below_file.list, out).has_value());
  EXPECT_TRUE(preflight::check(below_file.list, out / "f0").has_value()) << "out is a regular file";
  EXPECT_TRUE(preflight::check(one.list, t / "missing" / "deeper").has_value());
}

TEST(Preflight, OutputFolderShownWithInvalidUtf8Replaced) {
  TempFolder t;
  const fs::path out = t / "bad\xff\xfe";
  fs::create_directory(out);
  ixo::test::write_text(out / "f", "");
  Entries e;
  e.add("f");
  EXPECT_EQ(preflight::check(e.list, out).error().to_string(),
            "1 entry already exists in " + t.path().string() +
                "/bad\xEF\xBF\xBD\xEF\xBF\xBD; nothing was extracted and nothing was overwritten (choose a new "
                "folder):\n  f");
}

TEST(Preflight, FreeSpaceCountsOutputSizesAndSaturates) {
  Entries e;
  EXPECT_EQ(preflight::required_space(e.list), 16u << 20) << "an empty selection still needs 16 MiB";
  e.add("a", format::Regular, 1000).add("d", format::Directory, 5000).add("l", format::Symlink, 7000);
  EXPECT_EQ(preflight::required_space(e.list), 1000u + 10 + (16u << 20));

  Entries huge;
  huge.add("a", format::Regular, UINT64_MAX / 2 + 1).add("b", format::Regular, UINT64_MAX / 2 + 1);
  EXPECT_EQ(preflight::required_space(huge.list), UINT64_MAX) << "the sum wrapped around";

  TempFolder t;
  const Status refused = preflight::check(huge.list, t / "out" / "deeper");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), ErrorKind::StorageFull);
  EXPECT_EQ(refused.error().to_string().substr(0, 43), "extracting needs about 17179869184.0 GB but");
  EXPECT_NE(refused.error().to_string().find(" is free at " + t.path().string() + "; nothing was extracted"),
            std::string::npos)
      << refused.error().to_string();
}

TEST(Preflight, CollisionsComeFirstThenExistingThenSpace) {
  TempFolder t;
  ixo::test::write_text(t / "a", "");
  Entries e;
  e.add("a", format::Regular, UINT64_MAX).add("A");
  EXPECT_EQ(preflight::check(e.list, t.path(), case_blind).error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(preflight::check(e.list, t.path()).error().kind(), ErrorKind::AlreadyExists);
  fs::remove(t / "a");
  EXPECT_EQ(preflight::check(e.list, t.path()).error().kind(), ErrorKind::StorageFull);
}

TEST(LossyText, IllFormedSequencesBecomeReplacementCharacters) {
  struct Case {
    std::string in, out;
  };
  const std::string R = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"plain", "plain"},
      {"d\xC3\xA9j\xC3\xA0", "d\xC3\xA9j\xC3\xA0"},
      {"\xff", R},
      {"a\xC3", "a" + R},
      {"\xE2\x82", R},              // a cut three-byte sequence is one replacement
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"\xED\xA0\x80", R + R + R},  // a surrogate: the lead byte allows no A0
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\xF4\x90\x80\x80", R + R + R + R},
      {"\xC0\xAF", R + R},
  };
  for (const Case& c : cases) EXPECT_EQ(preflight::lossy_utf8(c.in), c.out) << c.in;
}

}  // namespace
