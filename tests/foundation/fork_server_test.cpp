// Children run under limits by the fork server: how each way of ending is told, what they get, and a server that
// has gone being made again.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/faults.h"
#include "platform/fork_server.h"

namespace ixo::platform {
namespace {

using Kind = ChildEndKind;

int exits_7(const int*, size_t, const uint8_t*, size_t) { return 7; }
int cannot_start_a_thread(const int*, size_t, const uint8_t*, size_t) { return CHILD_NO_THREAD_STATUS; }
int segfaults(const int*, size_t, const uint8_t*, size_t) {
  ::raise(SIGSEGV);
  return 0;
}
#if defined(__SANITIZE_ADDRESS__)
constexpr bool ADDRESS_SANITIZED = true;  // its operator new ends the process itself when memory runs out
#else
constexpr bool ADDRESS_SANITIZED = false;
#endif

constexpr size_t STEP = 16 << 20;
// Takes memory and touches it until an allocation fails.
int allocates_without_end(const int*, size_t, const uint8_t*, size_t) {
  for (;;) {
    void* p = std::malloc(STEP);
    if (p == nullptr) return CHILD_OUT_OF_MEMORY_STATUS;
    std::memset(p, 1, STEP);
  }
}
int news_without_end(const int*, size_t, const uint8_t*, size_t) {
  std::vector<std::vector<uint8_t>> held;
  for (;;) held.emplace_back(STEP, uint8_t{1});
}
// Never touched: the limit counts what is mapped. More than the sanitizer's allowance.
constexpr size_t TOO_MUCH = size_t{8} << 30;
void* volatile reserved;
int reserves_too_much(const int*, size_t, const uint8_t*, size_t) {
  reserved = std::malloc(TOO_MUCH);
  return reserved == nullptr ? CHILD_OUT_OF_MEMORY_STATUS : 0;
}
int news_too_much(const int*, size_t, const uint8_t*, size_t) {
  reserved = new uint8_t[TOO_MUCH];
  return 0;
}
int spins(const int*, size_t, const uint8_t*, size_t) {
  volatile uint64_t i = 0;
  for (;;) i = i + 1;
}
int waits(const int*, size_t, const uint8_t*, size_t) {
  for (;;) ::pause();
}
// Writes its arguments, then its parent's and its own process id, to the one descriptor it was given.
int echoes(const int* fds, size_t count, const uint8_t* args, size_t len) {
  if (count != 1) return 1;
  const pid_t ids[2] = {::getppid(), ::getpid()};
  return ::write(fds[0], args, len) == static_cast<ssize_t>(len) && ::write(fds[0], ids, sizeof ids) == sizeof ids
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
      {"memory used up", allocates_without_end, LIMITS, Kind::OutOfMemory, CHILD_OUT_OF_MEMORY_STATUS},
      {"memory used up through new", news_without_end, LIMITS, Kind::OutOfMemory, CHILD_OUT_OF_MEMORY_STATUS},
      {"memory reserved", reserves_too_much, LIMITS, Kind::OutOfMemory, CHILD_OUT_OF_MEMORY_STATUS},
      {"memory reserved through new", news_too_much, LIMITS, Kind::OutOfMemory, CHILD_OUT_OF_MEMORY_STATUS},
      {"no thread", cannot_start_a_thread, LIMITS, Kind::NoThread, CHILD_NO_THREAD_STATUS},
      {"processor time", spins, LITTLE_CPU, Kind::CpuTime, SIGXCPU},
      {"time", waits, LITTLE_TIME, Kind::WallTime, SIGALRM},
  };
  for (const Case& c : cases) {
    if (ADDRESS_SANITIZED && (c.body == news_without_end || c.body == news_too_much)) continue;
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

struct Echo {
  std::string text;
  pid_t server = -1;
  pid_t child = -1;
};

// Runs echoes with a pipe; gives what came through it.
Echo echo(const std::string& args) {
  int pipe_fds[2];
  EXPECT_EQ(::pipe(pipe_fds), 0);
  Result<ChildEnd> end = run_in_child(
      echoes, std::span(reinterpret_cast<const uint8_t*>(args.data()), args.size()), std::span(pipe_fds + 1, 1),
      LIMITS);
  ::close(pipe_fds[1]);
  std::string text = read_all(pipe_fds[0]);
  ::close(pipe_fds[0]);
  EXPECT_TRUE(end.has_value() && end->kind == Kind::Exited && end->code == 0);
  Echo e;
  pid_t ids[2];
  if (text.size() >= sizeof ids) {
    std::memcpy(ids, text.data() + text.size() - sizeof ids, sizeof ids);
    text.resize(text.size() - sizeof ids);
    e = {text, ids[0], ids[1]};
  }
  return e;
}

TEST(ForkServer, ChildGetsItsArgumentsAndDescriptors) {
  const Echo first = echo("some arguments");
  EXPECT_EQ(first.text, "some arguments");
  EXPECT_NE(first.server, ::getpid());  // forked by the server, not by this process
  EXPECT_EQ(echo("again").server, first.server);  // the server is kept for later calls
}

// A child that ended its call cleanly serves the next; one that did not is replaced, and each call has its own
// limits whatever came before.
TEST(ForkServer, ChildIsKeptOnlyAfterACleanEnd) {
  const pid_t first = echo("a").child;
  EXPECT_EQ(echo("b").child, first);
  Result<ChildEnd> end = run_in_child(allocates_without_end, {}, {}, LIMITS);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(end->kind, Kind::OutOfMemory);
  const pid_t second = echo("c").child;
  EXPECT_NE(second, first);
  end = run_in_child(spins, {}, {}, LITTLE_CPU);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(end->kind, Kind::CpuTime);
  end = run_in_child(exits_7, {}, {}, LIMITS);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(end->code, 7);
  EXPECT_EQ(echo("d").text, "d");
}

TEST(ForkServer, ServerThatHasGoneIsMadeAgain) {
  const pid_t first = echo("x").server;
  ASSERT_GT(first, 0);
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  const Echo after = echo("after");
  EXPECT_EQ(after.text, "after");
  EXPECT_NE(after.server, first);
}

TEST(ForkServer, ForkedCopyOfAClientUsesAServerOfItsOwn) {
  const pid_t parents_server = echo("x").server;
  const pid_t child = ::fork();
  if (child == 0) {
    const Echo e = echo("from the copy");
    ::_exit(e.text == "from the copy" && e.server > 0 && e.server != parents_server ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(echo("still mine").server, parents_server);
}

// Runs f in a forked copy of this process, which makes a server of its own (so with the hooks that f installs
// first); gives the text f returned.
std::string in_a_copy(std::string (*f)()) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    const std::string text = f();
    ::_exit(::write(pipe_fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  std::string text = read_all(pipe_fds[0]);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "the copy ended with status " + std::to_string(status);
}

// A fork that fails is told by its own error, even when the server then cannot read /proc either.
TEST(ForkServer, ChildThatCannotBeForkedIsToldByTheForksError) {
  const std::string told = in_a_copy([] {
    faults::set_hook(
        [](faults::Call call) {
          return call == faults::Call::ForkChild ? EAGAIN : call == faults::Call::ReadStatus ? ENOENT : 0;
        });
    const Result<ChildEnd> end = run_in_child(exits_7, {}, {}, LIMITS);
    return end ? std::string("the child ran") : end.error().to_string();
  });
  EXPECT_EQ(told, Error::os(EAGAIN).to_string());
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
