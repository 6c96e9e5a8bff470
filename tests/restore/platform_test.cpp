// The platform layer of the output tree: exclusive creation, the modification time alone, permission bits,
// links that are never followed, staging files that never outlive their owner, and NUL bytes refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "fixture.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/staging_file.h"

namespace {

namespace fs = std::filesystem;
using namespace ixo;
using ixo::test::TempFolder;

mode_t current_umask() {
  const mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

struct stat lstat_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st;
}

TEST(Platform, CreateNewRefusesAnythingStandingThere) {
  TempFolder t;
  ASSERT_TRUE(platform::File::create_new(t / "f").has_value());
  EXPECT_EQ(lstat_of(t / "f").st_mode & 0777, 0666 & ~current_umask());
  EXPECT_EQ(platform::File::create_new(t / "f").error().kind(), ErrorKind::AlreadyExists);

  fs::create_symlink(t / "absent", t / "dangling");
  EXPECT_EQ(platform::File::create_new(t / "dangling").error().kind(), ErrorKind::AlreadyExists);
  EXPECT_FALSE(fs::exists(t / "absent")) << "created through a dangling link";
}

TEST(Platform, ModificationTimeAloneAndMaskedMode) {
  TempFolder t;
  auto file = platform::File::create_new(t / "f");
  ASSERT_TRUE(file.has_value());
  const struct timespec times[2] = {{.tv_sec = 1000, .tv_nsec = 7}, {.tv_sec = 0, .tv_nsec = UTIME_OMIT}};
  ASSERT_EQ(::futimens(file->fd(), times), 0);

  ASSERT_TRUE(file->set_modified({1'600'000'000, 123'456'789}).has_value());
  ASSERT_TRUE(file->set_permissions(04755).has_value());
  ASSERT_TRUE(file->sync_all().has_value());
  const struct stat st = lstat_of(t / "f");
  EXPECT_EQ(st.st_mtim.tv_sec, 1'600'000'000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123'456'789);
  EXPECT_EQ(st.st_atim.tv_sec, 1000) << "the access time was changed";
  EXPECT_EQ(st.st_atim.tv_nsec, 7);
  EXPECT_EQ(st.st_mode & 07777, 0755u) << "set-id bits applied";
}

TEST(Platform, DirectoriesOpenedBelowNeverThroughALink) {
  TempFolder t;
  fs::create_directory(t / "real");
  fs::create_directory(t / "outside");
  fs::create_directory_symlink(t / "outside", t / "link");
  fs::path file = t / "plain";
  ixo::test::write_text(file, "x");

  auto root = platform::File::pass_dir(t.path());
  ASSERT_TRUE(root.has_value());
  EXPECT_TRUE(root->open_dir_at("real").has_value());
  EXPECT_TRUE(root->pass_dir_at("real").has_value());
  for (const char* name : {"link", "plain"}) {
    auto opened = root->open_dir_at(name);
    ASSERT_FALSE(opened.has_value()) << name;
    EXPECT_TRUE(opened.error().os_error() == ELOOP || opened.error().os_error() == ENOTDIR) << name;
    EXPECT_FALSE(root->pass_dir_at(name).has_value()) << name;
  }
  EXPECT_EQ(root->open_dir_at("a/b").error().kind(), ErrorKind::InvalidInput);
}

TEST(Platform, HardLinkNeverFollowsNorReplaces) {
  TempFolder t;
  ixo::test::write_text(t / "target", "data");
  fs::create_symlink("target", t / "sym");
  ASSERT_TRUE(platform::hard_link(t / "sym", t / "second").has_value());
  EXPECT_TRUE(fs::is_symlink(t / "second")) << "linkat followed the symbolic link";

  ixo::test::write_text(t / "taken", "keep");
  EXPECT_EQ(platform::hard_link(t / "target", t / "taken").error().kind(), ErrorKind::AlreadyExists);
  EXPECT_EQ(ixo::test::read_file(t / "taken"), "keep");
  EXPECT_EQ(platform::symlink("x", t / "taken").error().kind(), ErrorKind::AlreadyExists);
}

TEST(Platform, MetadataWithAndWithoutFollowing) {
  TempFolder t;
  fs::create_directory(t / "d");
  fs::create_directory_symlink(t / "d", t / "l");
  EXPECT_EQ(platform::metadata(t / "l")->type, platform::FileType::Directory);
  EXPECT_EQ(platform::symlink_metadata(t / "l")->type, platform::FileType::Symlink);
  EXPECT_EQ(platform::symlink_metadata(t / "missing").error().kind(), ErrorKind::NotFound);
}

TEST(Platform, PathsWithNulBytesNeverReachTheSystem) {
  TempFolder t;
  ixo::test::write_text(t / "a", "keep");
  fs::create_directory(t / "d");
  // Cut at the NUL, each of these would name t/a or t/d, which exist.
  const fs::path file = (t / "a").string() + std::string("\0b", 2);
  const fs::path dir = (t / "d").string() + std::string("\0b", 2);
  const auto invalid_input = [](const Status& s) { return !s && s.error().kind() == ErrorKind::InvalidInput; };

  EXPECT_EQ(platform::File::create_new(dir / "x").error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(platform::File::open_read(file).error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(platform::File::open_dir(dir).error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(platform::File::pass_dir(dir).error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(platform::metadata(file).error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(platform::symlink_metadata(file).error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(platform::free_space(dir).error().kind(), ErrorKind::InvalidInput);
  EXPECT_TRUE(invalid_input(platform::create_dir(dir)));
  EXPECT_TRUE(invalid_input(platform::remove_file(file)));
  EXPECT_TRUE(invalid_input(platform::hard_link(file, t / "b")));
  EXPECT_TRUE(invalid_input(platform::hard_link(t / "a", dir / "b")));
  EXPECT_TRUE(invalid_input(platform::symlink("x", dir / "b")));
  EXPECT_TRUE(invalid_input(platform::symlink(std::string("x\0y", 3), t / "b")));
  EXPECT_TRUE(invalid_input(platform::set_permissions(file, 0)));
  auto root = platform::File::pass_dir(t.path());
  EXPECT_EQ(root->open_dir_at(std::string("d\0x", 3)).error().kind(), ErrorKind::InvalidInput);

  EXPECT_EQ(ixo::test::read_file(t / "a"), "keep");
  EXPECT_EQ(lstat_of(t / "a").st_mode & 0777, 0666 & ~current_umask());
  EXPECT_EQ(ixo::test::names_below(t.path()), (std::vector<std::string>{"a", "d"}));
}

TEST(Platform, FreeSpaceOfARealFileSystem) {
  TempFolder t;
  auto free = platform::free_space(t.path());
  ASSERT_TRUE(free.has_value());
  EXPECT_GT(*free, 0u);
  EXPECT_FALSE(platform::free_space(t / "missing").has_value());
}

TEST(StagingFile, RemovedUnlessLinkedAndExactBytes) {
  TempFolder t;
  std::string expected;
  {
    auto staging = platform::StagingFile::create(t / "s1");
    ASSERT_TRUE(staging.has_value());
    // Pieces below, at and above the buffer size, in a mixed order.
    for (size_t n : {1u, 8191u, 8192u, 3u, 20000u, 0u, 8190u, 2u}) {
      const std::string piece(n, static_cast<char>('a' + n % 26));
      expected += piece;
      ASSERT_TRUE(staging->write({reinterpret_cast<const uint8_t*>(piece.data()), piece.size()}).has_value());
    }
    ASSERT_TRUE(staging->finish(platform::FileTime{2, 500'000'000}, 0640).has_value());
    ASSERT_TRUE(staging->link_as(t / "final").has_value());
    EXPECT_FALSE(staging->link_as(t / "final").has_value()) << "an existing name was replaced";
  }
  EXPECT_FALSE(fs::exists(t / "s1"));
  EXPECT_EQ(ixo::test::read_file(t / "final"), expected);
  const struct stat st = lstat_of(t / "final");
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 2);
  EXPECT_EQ(st.st_mtim.tv_nsec, 500'000'000);
  EXPECT_EQ(st.st_nlink, 1u);

  {
    auto staging = platform::StagingFile::create(t / "s2");
    ASSERT_TRUE(staging.has_value());
    ASSERT_TRUE(staging->write({reinterpret_cast<const uint8_t*>("abc"), 3}).has_value());
    auto moved = std::move(*staging);  // the moved-from owner must not remove the name
    EXPECT_TRUE(fs::exists(t / "s2"));
  }
  EXPECT_EQ(ixo::test::names_below(t.path()), (std::vector<std::string>{"final"}));
}

}  // namespace
