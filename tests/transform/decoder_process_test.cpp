// The process a decoder runs in: crash reports of the library's own threads reach the program's standard error, the
// quiet caller's alone being silent, and a process or a thread that cannot be started is told as such.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>

#include "sample_files.h"
#include "transform/bounded_decode.h"
#include "transform/quiet.h"
#include "transform/slots.h"

namespace ixo::transform {
namespace {

// A library that panics on a thread of its own and then on the calling thread (each panic caught where it
// happens), and gives one byte.
int32_t panics_on_two_threads(const uint8_t*, size_t, ixo_sink out, void* out_ctx, ixo_sink, void*) {
  std::thread worker([] { ixo_bridge_test_panic(); });
  worker.join();
  ixo_bridge_test_panic();
  const uint8_t byte = 1;
  return out(out_ctx, &byte, 1) ? IXO_TRANSFORM_OK : IXO_TRANSFORM_ERROR;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST(DecoderProcess, OnlyTheQuietCallersCrashReportIsSilent) {
  testing::internal::CaptureStderr();
  const Result<Bytes> decoded = [] {
    const QuietScope quiet;
    return run_bounded(panics_on_two_threads, {}, 1, "test: ", jpeg_bound(0, 1));
  }();
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(decoded) << decoded.error().to_string();
  EXPECT_EQ(decoded->size(), 1u);
  EXPECT_EQ(occurrences(err, "bridge test panic"), 1u) << err;
}

Bytes container;  // for the copies below, which take no arguments
uint64_t jpeg_size = 0;

std::string decoded_text() {
  auto r = decode_jpeg(container, jpeg_size);
  return r ? std::string("ok") : r.error().to_string();
}

// Runs decoded_text in a forked copy of this process (which makes a fork server of its own) as a user of its own,
// allowed processes processes and threads in all, the copy included; nothing where the system refuses the change.
std::optional<std::string> decoded_as_limited_user(rlim_t processes) {
  // A user that nothing else runs as, not even what an earlier call left on its way out: only the copy counts.
  const uid_t user = 1900000000 + static_cast<uid_t>(::getpid() % 1000000) * 8 + static_cast<uid_t>(processes);
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    const rlimit limit{processes, processes};
    if (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0 ||
        ::setrlimit(RLIMIT_NPROC, &limit) != 0)
      ::_exit(3);
    const std::string text = decoded_text();
    ::_exit(::write(pipe_fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the copy ended with status " + std::to_string(status);
  return text;
}

// Under a limit on processes: the copy and its server fit; with room for the decoder's process too, its thread
// does not.
TEST(DecoderProcess, ProcessOrThreadThatCannotStartIsTold) {
  const Bytes jpeg = test::sample("baseline-320x240.jpg");
  auto encoded = encode_jpeg(jpeg);
  ASSERT_TRUE(encoded);
  container = *encoded;
  jpeg_size = jpeg.size();
  ASSERT_EQ(decoded_text(), "ok");
  const struct {
    rlim_t processes;
    std::string told;
  } cases[] = {
      {2, "JPEG reconstruction failed: cannot start the decoder process: " + Error::os(EAGAIN).to_string()},
      {3, "JPEG reconstruction failed: cannot start a decoder thread"},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> told = decoded_as_limited_user(c.processes);
    if (!told) GTEST_SKIP() << "this system does not let a test run as another user under a process limit";
    EXPECT_EQ(*told, c.told) << c.processes << " processes";
  }
}

}  // namespace
}  // namespace ixo::transform
