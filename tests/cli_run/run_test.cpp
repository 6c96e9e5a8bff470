#include "cli/run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

namespace {

using ixo::Error;
using ixo::ErrorKind;

// What fn writes to standard error, with the status it gives.
std::pair<int, std::string> capture_stderr(const std::function<int()>& fn) {
  std::fflush(stderr);
  std::FILE* file = std::tmpfile();
  const int saved = ::dup(2);
  ::dup2(::fileno(file), 2);
  const int status = fn();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::string text(static_cast<size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  text.resize(std::fread(text.data(), 1, text.size(), file));
  std::fclose(file);
  return {status, text};
}

constexpr const char* NEWER = "This archive needs a newer ixo-extract; this one is 0.9.1.\n";

TEST(ReportError, StatusFollowsTheKindAlone) {
  struct Case {
    Error error;
    int status;
    std::string text;
  };
  const Case cases[] = {
      {Error::message(ErrorKind::InvalidData, "bad index chain"), 1, "error: bad index chain\n"},
      {Error::message(ErrorKind::Unsupported, "bad index chain"), 3, std::string("error: bad index chain\n") + NEWER},
      {Error::bare(ErrorKind::Unsupported), 3, std::string("error: unsupported\n") + NEWER},
      {Error::bare(ErrorKind::OutOfMemory), 1, "error: out of memory\n"},
      {Error::os(ENOENT), 1, "error: No such file or directory (os error 2)\n"},
      // The only operating-system errors of the Unsupported kind.
      {Error::os(ENOSYS), 3, std::string("error: Function not implemented (os error 38)\n") + NEWER},
      {Error::os(EOPNOTSUPP), 3, std::string("error: Operation not supported (os error 95)\n") + NEWER},
      {Error::os(EPROTONOSUPPORT), 1, "error: Protocol not supported (os error 93)\n"},
      {Error::os(EAFNOSUPPORT), 1, "error: Address family not supported by protocol (os error 97)\n"},
      {Error::os(ENOTTY), 1, "error: Inappropriate ioctl for device (os error 25)\n"},
  };
  for (const Case& c : cases) {
    const auto [status, text] = capture_stderr([&] { return ixo::cli::report_error(c.error); });
    EXPECT_EQ(status, c.status) << c.text;
    EXPECT_EQ(text, c.text);
  }
}

TEST(WorkerCount, GivenOrOnlineProcessors) {
  EXPECT_EQ(ixo::cli::threads_or_online_processors(3), 3u);
  EXPECT_EQ(ixo::cli::threads_or_online_processors(1), 1u);
  EXPECT_EQ(ixo::cli::threads_or_online_processors(UINT64_MAX), UINT64_MAX);  // no upper bound
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  EXPECT_EQ(ixo::cli::threads_or_online_processors(0), online > 0 ? static_cast<uint64_t>(online) : 1u);
}

TEST(ChooseSnapshot, LatestOrTheNumberGiven) {
  std::vector<ixo::format::Snapshot> snapshots(3);
  EXPECT_EQ(ixo::cli::choose_snapshot(snapshots, std::nullopt).value(), 2u);
  EXPECT_EQ(ixo::cli::choose_snapshot(snapshots, 1).value(), 0u);
  EXPECT_EQ(ixo::cli::choose_snapshot(snapshots, 3).value(), 2u);
  for (uint64_t n : {uint64_t{0}, uint64_t{4}, UINT64_MAX}) {
    auto chosen = ixo::cli::choose_snapshot(snapshots, n);
    ASSERT_FALSE(chosen.has_value());
    EXPECT_EQ(chosen.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(chosen.error().to_string(), "snapshot " + std::to_string(n) + " does not exist (the archive has 3)");
  }
}

}  // namespace
