#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "codec/codec.h"
#include "error.h"
#include "platform/file.h"

namespace ixo {
namespace {

TEST(ErrorText, MessagePrintsAsItStandsWithoutItsKind) {
  const Error e = Error::message(ErrorKind::InvalidInput, "snapshot 9 does not exist");
  EXPECT_EQ(e.to_string(), "snapshot 9 does not exist");
  EXPECT_EQ(e.kind(), ErrorKind::InvalidInput);
  EXPECT_FALSE(e.os_error().has_value());
}

TEST(ErrorText, OsErrorIsSystemTextAndNumber) {
  const Error e = Error::os(ENOENT);
  EXPECT_EQ(e.to_string(), "No such file or directory (os error 2)");
  EXPECT_EQ(e.kind(), ErrorKind::NotFound);
  EXPECT_EQ(e.os_error(), ENOENT);

  errno = EACCES;
  const Error last = Error::last_os();
  EXPECT_EQ(last.to_string(), "Permission denied (os error 13)");
  EXPECT_EQ(last.kind(), ErrorKind::PermissionDenied);
}

TEST(ErrorText, BareKindPrintsItsStandardDescription) {
  EXPECT_EQ(Error::bare(ErrorKind::OutOfMemory).to_string(), "out of memory");
  EXPECT_EQ(Error::bare(ErrorKind::OutOfMemory).kind(), ErrorKind::OutOfMemory);
  EXPECT_EQ(Error::bare(ErrorKind::UnexpectedEof).to_string(), "unexpected end of file");
}

TEST(ErrorText, ExactReadFailure) {
  const Error e = Error::unexpected_eof();
  EXPECT_EQ(e.to_string(), "failed to fill whole buffer");
  EXPECT_EQ(e.kind(), ErrorKind::UnexpectedEof);
}

TEST(ErrorKindOfErrno, StandardClassification) {
  const struct {
    int errnum;
    ErrorKind kind;
  } cases[] = {
      {ENOENT, ErrorKind::NotFound},        {ENOSYS, ErrorKind::Unsupported},
      {EOPNOTSUPP, ErrorKind::Unsupported}, {EEXIST, ErrorKind::AlreadyExists},
      {ENOSPC, ErrorKind::StorageFull},     {EACCES, ErrorKind::PermissionDenied},
      {EPERM, ErrorKind::PermissionDenied}, {EINTR, ErrorKind::Interrupted},
      {EINVAL, ErrorKind::InvalidInput},    {ENOMEM, ErrorKind::OutOfMemory},
      {EXDEV, ErrorKind::CrossesDevices},   {ENOTDIR, ErrorKind::NotADirectory},
      {ELOOP, ErrorKind::FilesystemLoop},   {EDQUOT, ErrorKind::QuotaExceeded},
      {EWOULDBLOCK, ErrorKind::WouldBlock}, {EHWPOISON, ErrorKind::Uncategorized},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.errnum);
    EXPECT_EQ(kind_of_errno(c.errnum), c.kind);
    EXPECT_EQ(Error::os(c.errnum).kind(), c.kind);
  }
}

TEST(CodecErrors, InvalidAndUnsupportedCarryTheirTextAndKind) {
  const Error inv = codec::invalid("bad index chain");
  EXPECT_EQ(inv.to_string(), "bad index chain");
  EXPECT_EQ(inv.kind(), ErrorKind::InvalidData);
  const Error uns = codec::unsupported("bad index chain");
  EXPECT_EQ(uns.to_string(), "bad index chain");
  EXPECT_EQ(uns.kind(), ErrorKind::Unsupported);
}

class FileErrors : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("ixo-file-errors-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(FileErrors, OpeningAMissingFileIsNotFound) {
  auto f = platform::File::open_read(dir_ / "missing.ixo");
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().to_string(), "No such file or directory (os error 2)");
  EXPECT_EQ(f.error().kind(), ErrorKind::NotFound);
}

TEST_F(FileErrors, ExactReadPastTheEndFailsToFillTheBuffer) {
  const auto path = dir_ / "ten";
  std::ofstream(path, std::ios::binary) << "0123456789";
  auto f = platform::File::open_read(path);
  ASSERT_TRUE(f.has_value()) << f.error().to_string();
  EXPECT_EQ(f->size().value(), 10u);

  std::vector<uint8_t> buf(6);
  ASSERT_TRUE(f->read_exact_at(4, buf).has_value());
  EXPECT_EQ(std::string(buf.begin(), buf.end()), "456789");

  std::vector<uint8_t> over(8);
  for (uint64_t pos : {4u, 10u, 1000u}) {
    auto r = f->read_exact_at(pos, over);
    ASSERT_FALSE(r.has_value()) << pos;
    EXPECT_EQ(r.error().to_string(), "failed to fill whole buffer");
    EXPECT_EQ(r.error().kind(), ErrorKind::UnexpectedEof);
  }
}

TEST(PathChecks, NulInsidePathIsRefusedBeforeTheSystemSeesIt) {
  using namespace std::string_literals;
  auto f = platform::File::open_read("/etc/passwd\0.ixo"s);
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(f.error().to_string(), "file name contained an unexpected NUL byte");
}

}  // namespace
}  // namespace ixo
