// Children run under limits by the fork server: how each way of ending is told, what they get, and a server that
// has gone being made again.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/fork_server.h"

namespace ixo::platform {
namespace {

using Kind = ChildEndKind;

int exits_7(const int*, size_t, const uint8_t*, size_t) { return 7; }
int segfaults(const int*, size_t, const uint8_t*, size_t) {
  ::raise(SIGSEGV);
  return 0;
}
int allocates_without_end(const int*, size_t, const uint8_t*, size_t) {
  std::vector<std::vector<uint8_t>> held;
  for (;;) held.emplace_back(16 << 20, uint8_t{1});
}
uint8_t* volatile reserved;
int reserves_too_much(const int*, size_t, const uint8_t*, size_t) {
  reserved = new uint8_t[size_t{1} << 30];  // never touched: the limit counts what is mapped
  return 0;
}
int spins(const int*, size_t, const uint8_t*, size_t) {
  volatile uint64_t i = 0;
  for (;;) i = i + 1;
}
int waits(const int*, size_t, const uint8_t*, size_t) {
  for (;;) ::pause();
}
// Writes its arguments, then its parent's process id, to the one descriptor it was given.
int echoes(const int* fds, size_t count, const uint8_t* args, size_t len) {
  if (count != 1) return 1;
  const pid_t server = ::getppid();
  return ::write(fds[0], args, len) == static_cast<ssize_t>(len) &&
                 ::write(fds[0], &server, sizeof server) == sizeof server
             ? 0
             : 2;
}
int says_hello(const int*, size_t, const uint8_t*, size_t) { return ::write(STDERR_FILENO, "hello", 5) == 5 ? 0 : 1; }

constexpr ChildLimits LIMITS{.data_bytes = 64 << 20, .cpu_seconds = 60, .wall_seconds = 120};
constexpr ChildLimits LITTLE_CPU{.data_bytes = 64 << 20, .cpu_seconds = 1, .wall_seconds = 120};
constexpr ChildLimits LITTLE_TIME{.data_bytes = 64 << 20, .cpu_seconds = 60, .wall_seconds = 1};

TEST(ForkServer, EachWayOfEndingIsTold) {
  struct Case {
    const char* name;
    ChildBody body;
    const ChildLimits& limits;
    Kind kind;
    int code;
  } cases[] = {
      {"exit status", exits_7, LIMITS, Kind::Exited, 7},
      {"signal", segfaults, LIMITS, Kind::Signaled, SIGSEGV},
      {"memory used up", allocates_without_end, LIMITS, Kind::OutOfMemory, 121},
      {"memory reserved", reserves_too_much, LIMITS, Kind::OutOfMemory, 121},
      {"processor time", spins, LITTLE_CPU, Kind::CpuTime, SIGXCPU},
      {"time", waits, LITTLE_TIME, Kind::WallTime, SIGALRM},
  };
  for (const Case& c : cases) {
    Result<ChildEnd> end = run_in_child(c.body, {}, {}, c.limits);
    ASSERT_TRUE(end.has_value()) << c.name << ": " << end.error().to_string();
    EXPECT_EQ(end->kind, c.kind) << c.name;
    EXPECT_EQ(end->code, c.code) << c.name;
  }
}

std::string read_all(int fd) {
  std::string text;
  char buf[256];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  return text;
}

// Runs echoes with a pipe; gives what came through it and the server's process id.
std::pair<std::string, pid_t> echo(const std::string& args) {
  int pipe_fds[2];
  EXPECT_EQ(::pipe(pipe_fds), 0);
  Result<ChildEnd> end = run_in_child(
      echoes, std::span(reinterpret_cast<const uint8_t*>(args.data()), args.size()), std::span(pipe_fds + 1, 1),
      LIMITS);
  ::close(pipe_fds[1]);
  std::string text = read_all(pipe_fds[0]);
  ::close(pipe_fds[0]);
  EXPECT_TRUE(end.has_value() && end->kind == Kind::Exited && end->code == 0);
  pid_t server = -1;
  if (text.size() >= sizeof server) {
    std::memcpy(&server, text.data() + text.size() - sizeof server, sizeof server);
    text.resize(text.size() - sizeof server);
  }
  return {text, server};
}

TEST(ForkServer, ChildGetsItsArgumentsAndDescriptors) {
  const auto [text, server] = echo("some arguments");
  EXPECT_EQ(text, "some arguments");
  EXPECT_NE(server, ::getpid());  // forked by the server, not by this process
  EXPECT_EQ(echo("again").second, server);  // the server is kept for later calls
}

TEST(ForkServer, ServerThatHasGoneIsMadeAgain) {
  const pid_t first = echo("x").second;
  ASSERT_GT(first, 0);
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  const auto [text, second] = echo("after");
  EXPECT_EQ(text, "after");
  EXPECT_NE(second, first);
}

TEST(ForkServer, ForkedCopyOfAClientUsesAServerOfItsOwn) {
  const pid_t parents_server = echo("x").second;
  const pid_t child = ::fork();
  if (child == 0) {
    const auto [text, server] = echo("from the copy");
    ::_exit(text == "from the copy" && server > 0 && server != parents_server ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(echo("still mine").second, parents_server);
}

TEST(ForkServer, StandardErrorGoesNowhereUnlessKept) {
  for (const bool keep : {false, true}) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(pipe_fds[1], STDERR_FILENO);
    ::close(pipe_fds[1]);
    ChildLimits limits = LIMITS;
    limits.keep_stderr = keep;
    Result<ChildEnd> end = run_in_child(says_hello, {}, {}, limits);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    EXPECT_EQ(read_all(pipe_fds[0]), keep ? "hello" : "") << keep;
    ::close(pipe_fds[0]);
    EXPECT_TRUE(end.has_value() && end->kind == Kind::Exited && end->code == 0) << keep;
  }
}

TEST(ForkServer, RequestsBeyondWhatFitsAreRefused) {
  const std::vector<uint8_t> args(CHILD_MAX_ARGS + 1);
  EXPECT_FALSE(run_in_child(exits_7, args, {}, LIMITS).has_value());
  const int fds[CHILD_MAX_FDS + 1] = {0, 0, 0, 0};
  EXPECT_FALSE(run_in_child(exits_7, {}, fds, LIMITS).has_value());
}

}  // namespace
}  // namespace ixo::platform
