#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fixture.h"
#include "restore/output_path.h"

namespace ixo::pack {
namespace {

namespace fs = std::filesystem;

TEST(SafeJoin, JoinsPiecesUnderTheRoot) {
  const struct {
    const char* root;
    const char* path;
    const char* joined;
  } cases[] = {
      {"/out", "a/b", "/out/a/b"}, {"/out/", "a/b", "/out/a/b"}, {"", "a/b", "a/b"},   {"/", "a", "/a"},
      {"out", "...", "out/..."},   {"o", "a..b", "o/a..b"},      {"o", ".a", "o/.a"}, {"o", "a.", "o/a."},
      {"o", "x y/é", "o/x y/é"},
  };
  for (const auto& c : cases) {
    auto got = safe_join(c.root, c.path);
    ASSERT_TRUE(got) << c.path;
    EXPECT_EQ(got->native(), c.joined) << c.root << " + " << c.path;
  }
}

TEST(SafeJoin, RefusesUnsafePiecesNamingTheWholePath) {
  for (const char* path : {"", "a//b", "a/", "/a", "./a", "a/./b", "a/../b", "..", ".", "c:/x", "x:y", "a\\b"}) {
    auto got = safe_join("/out", path);
    ASSERT_FALSE(got) << path;
    EXPECT_EQ(got.error().to_string(), std::string("unsafe path in archive: ") + path);
    EXPECT_EQ(got.error().kind(), ErrorKind::InvalidData);
  }
}

TEST(SafeJoin, RefusesANulByte) {
  using namespace std::string_literals;
  for (const std::string& path : {"a\0b"s, "a/b\0"s, "\0"s}) {
    auto got = safe_join("/out", path);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(got.error().to_string().find('\0'), std::string::npos);
    EXPECT_NE(got.error().to_string().find("NUL"), std::string::npos);
  }
}

class OutputPath : public ::testing::Test {
 protected:
  test::TempFolder dir;
  fs::path base() const { return dir.path(); }
  static mode_t mode_of(const fs::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
};

TEST_F(OutputPath, CreatesRootAndMissingParentsAndAnswersUnderTheCanonicalRoot) {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  const fs::path root = base() / "x" / "out";
  auto got = output_path(root, "a/b/c");
  ASSERT_TRUE(got) << got.error().to_string();
  EXPECT_EQ(*got, fs::canonical(root) / "a" / "b" / "c");
  EXPECT_TRUE(fs::is_directory(root / "a" / "b"));
  EXPECT_FALSE(fs::exists(root / "a" / "b" / "c"));  // the entry itself is the caller's
  EXPECT_EQ(mode_of(root / "a"), 0777 & ~mask);
  EXPECT_EQ(mode_of(root / "a" / "b"), 0777 & ~mask);
}

TEST_F(OutputPath, RelativeRootAndLinkedAncestorsResolve) {
  fs::create_directories(base() / "real");
  fs::create_directory_symlink(base() / "real", base() / "link");
  auto through_link = output_path(base() / "link" / "out", "f");
  ASSERT_TRUE(through_link) << through_link.error().to_string();
  EXPECT_EQ(*through_link, fs::canonical(base()) / "real" / "out" / "f");

  const fs::path cwd = fs::current_path();
  fs::current_path(base());
  auto relative = output_path("rel", "f");
  fs::current_path(cwd);
  ASSERT_TRUE(relative);
  EXPECT_EQ(*relative, fs::canonical(base()) / "rel" / "f");
}

TEST_F(OutputPath, RootThatIsALinkOrAFileIsRefused) {
  fs::create_directories(base() / "real");
  fs::create_directory_symlink(base() / "real", base() / "rootlink");
  auto linked = output_path(base() / "rootlink", "a/b");
  ASSERT_FALSE(linked);
  EXPECT_EQ(linked.error().to_string(), "output root is not a real directory");
  EXPECT_FALSE(fs::exists(base() / "real" / "a"));

  std::ofstream(base() / "file") << "x";
  auto file = output_path(base() / "file", "a");
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind(), ErrorKind::AlreadyExists);
  EXPECT_TRUE(file.error().os_error().has_value());
}

TEST_F(OutputPath, ParentThatIsALinkOrAFileIsRefusedAndNothingIsMadeThroughIt) {
  const fs::path root = base() / "out";
  fs::create_directories(root);
  fs::create_directories(base() / "elsewhere");
  fs::create_directory_symlink(base() / "elsewhere", root / "a");
  fs::create_directories(root / "inside");
  fs::create_directory_symlink(root / "inside", root / "b");
  std::ofstream(root / "c") << "x";
  for (const char* path : {"a/x", "a/y/z", "b/x", "c/x"}) {
    auto got = output_path(root, path);
    ASSERT_FALSE(got) << path;
    EXPECT_EQ(got.error().to_string(), "output parent is not a real directory") << path;
  }
  EXPECT_TRUE(fs::is_empty(base() / "elsewhere"));
  EXPECT_TRUE(fs::is_empty(root / "inside"));
}

TEST_F(OutputPath, UnsafePathCreatesNothing) {
  const fs::path root = base() / "never";
  auto got = output_path(root, "a/../b");
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().to_string(), "unsafe path in archive: a/../b");
  EXPECT_FALSE(fs::exists(root));
  using namespace std::string_literals;
  auto nul = output_path(root, "a\0b"s);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().kind(), ErrorKind::InvalidInput);
  EXPECT_FALSE(fs::exists(root));
  auto nul_root = output_path(fs::path(base().native() + "/r\0x"s), "a");
  ASSERT_FALSE(nul_root);
  EXPECT_EQ(nul_root.error().kind(), ErrorKind::InvalidInput);
  EXPECT_FALSE(fs::exists(base() / "r"));
}

TEST_F(OutputPath, SinglePieceWalksOnlyTheRoot) {
  const fs::path root = base() / "one";
  auto got = output_path(root, "file");
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, fs::canonical(root) / "file");
  EXPECT_TRUE(fs::is_empty(root));
}

}  // namespace
}  // namespace ixo::pack
