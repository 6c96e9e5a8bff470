#include "platform/fork_server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/fork_child.h"
#include "platform/faults.h"
#include "platform/fork_protocol.h"

namespace ixo::platform::forks {

namespace {

void default_signals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &action, nullptr);  // SIGKILL and SIGSTOP just refuse
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

struct Child {
  pid_t pid = -1;
  int sock = -1;
  uint64_t born_with = 0;  // its data at birth
  char status_path[32] = {};
};

// Reaps a child that has ended, or is ending, with its status.
Reply reap(Child& child) {
  int status = 0;
  while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  ::close(child.sock);
  child = {};
  return Reply{0, status};
}

pid_t fork_child() {
  if (const int injected = faults::injected(faults::Call::ForkChild); injected != 0) {
    errno = injected;
    return -1;
  }
  return ::fork();
}

// Runs one request in the kept child, or in a new one; a kept child that has gone since is replaced once.
Reply run_request(Child& child, const Request& request, const int* fds, size_t fd_count) {
  if (child.pid > 0 && kept_too_much(child.status_path, child.born_with, request.limits)) {
    ::kill(child.pid, SIGKILL);
    reap(child);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (child.pid < 0) {
      int pair[2];
      if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return Reply{errno, 0};
      const pid_t pid = fork_child();
      const int fork_errno = errno;  // before any other call can change it
      if (pid == 0) {
        // Of the server's descriptors (the client's socket, those of this request) it keeps none: each call's
        // come with the call.
        close_all_but(pair[1]);
        child_loop(pair[1]);
      }
      ::close(pair[1]);
      if (pid < 0) {
        ::close(pair[0]);
        return Reply{fork_errno, 0};
      }
      child = {pid, pair[0], current_data_bytes(), {}};  // the server's data just after the fork
      std::snprintf(child.status_path, sizeof child.status_path, "/proc/%d/status", static_cast<int>(pid));
    }
    if (!send_with_fds(child.sock, &request, sizeof request, fds, fd_count)) {
      reap(child);
      continue;
    }
    CallDone done{};
    ssize_t n;
    do {
      n = ::recv(child.sock, &done, sizeof done, 0);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof done)) {
      Reply reply{};
      reply.status = W_EXITCODE(done.status, 0);
      return reply;
    }
    return reap(child);  // it ended: how, its status says
  }
  return Reply{ECHILD, 0};
}

}  // namespace

void serve(int sock, pid_t client) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != client) ::_exit(0);
  default_signals();
  if (sock <= STDERR_FILENO) sock = ::fcntl(sock, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  // Nothing of the client's stays open here: a pipe end held by the server would keep its reader waiting.
  if (const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC); null >= 0) {
    for (int fd = 0; fd <= STDERR_FILENO; ++fd) ::dup2(null, fd);
    if (null > STDERR_FILENO && null != sock) ::close(null);
  }
  close_all_but(sock);
  Child child;
  for (;;) {
    Received in;
    if (!receive(sock, in)) ::_exit(0);
    const Reply reply = in.well_formed ? run_request(child, in.request, in.fds, in.fd_count) : Reply{EINVAL, 0};
    close_all(in.fds, in.fd_count);
    if (::send(sock, &reply, sizeof reply, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof reply)) ::_exit(0);
  }
}

}  // namespace ixo::platform::forks
