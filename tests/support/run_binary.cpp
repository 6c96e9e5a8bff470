#include "support/run_binary.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace ixo::test {
namespace {

struct Fd {
  int fd = -1;
  Fd() = default;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

// Both ends close on exec, so no other child started meanwhile keeps a write end open.
bool make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end.fd = fds[0];
  write_end.fd = fds[1];
  return true;
}

struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

RunResult not_started(const std::string& what, int errnum) {
  RunResult r;
  r.err = what + ": " + std::strerror(errnum);
  r.status = -1;
  return r;
}

// Reads both pipes until each reaches its end, whichever the child fills first.
bool drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  char buf[65536];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;  // poll skips negative descriptors
        --open;
        continue;
      }
      sinks[i]->append(buf, static_cast<size_t>(n));
    }
  }
  return true;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& args, const RunOptions& options) {
  const std::string program = options.program.native();
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  Fd out_r, out_w, err_r, err_w;
  if (!make_pipe(out_r, out_w) || !make_pipe(err_r, err_w)) return not_started("pipe", errno);

  SpawnSetup setup;
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, out_w.fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, err_w.fd, STDERR_FILENO);
  std::string cwd;
  if (options.cwd) {
    cwd = options.cwd->native();
    posix_spawn_file_actions_addchdir_np(&setup.actions, cwd.c_str());
  }
  // The child starts with every signal at its default and none blocked, whatever the test process set.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&setup.attr, &all);
  posix_spawnattr_setsigmask(&setup.attr, &none);
  posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid;
  const int rc = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
  if (rc != 0) return not_started("cannot start " + program, rc);
  // Only the child may hold the write ends, or the reads below would never see their end.
  out_w.reset();
  err_w.reset();

  RunResult result;
  const bool drained = drain(out_r.fd, err_r.fd, result.out, result.err);
  const int drain_errno = errno;
  out_r.reset();  // a child still writing now gets EPIPE instead of blocking forever
  err_r.reset();

  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) return not_started("waitpid", errno);
  }
  if (!drained) return not_started("poll", drain_errno);
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.status = 128 + WTERMSIG(wstatus);
  }
  return result;
}

std::string show(const RunResult& r) {
  return "status " + std::to_string(r.status) + "\n--- stdout ---\n" + r.out + "--- stderr ---\n" + r.err;
}

// The report's elapsed time " in {digits}.{digit}s, " as " in #s, ".
std::string without_seconds(std::string text) {
  for (size_t at = text.find(" in "); at != std::string::npos; at = text.find(" in ", at + 1)) {
    size_t i = at + 4, digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
    if (digits == 0 || text.compare(i, 1, ".") != 0 || i + 1 >= text.size() ||
        !std::isdigit(static_cast<unsigned char>(text[i + 1])) || text.compare(i + 2, 3, "s, ") != 0)
      continue;
    text.replace(at + 4, i + 2 - (at + 4), "#");
  }
  return text;
}

}  // namespace ixo::test
