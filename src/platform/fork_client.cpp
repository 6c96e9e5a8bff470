// The client's side of the fork server (fork_server.h): it starts the server, hands it each call and tells how the
// call's child ended.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/fork_protocol.h"
#include "platform/fork_server.h"
#include "platform/fork_server_process.h"

namespace ixo::platform {

namespace {

using forks::Reply;
using forks::Request;

class ServerClient {
 public:
  ServerClient() = default;
  ServerClient(const ServerClient&) = delete;
  ServerClient& operator=(const ServerClient&) = delete;
  ~ServerClient() {
    if (owner_ == ::getpid()) stop();
  }

  std::mutex mutex;

  Status ensure_started() {
    if (owner_ != ::getpid()) forget();  // a forked copy of a process that had one: that server is not ours
    if (sock_ >= 0) return {};
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return fail(Error::last_os());
    const pid_t client = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pair[0]);
      forks::serve(pair[1], client);
    }
    const int fork_errno = errno;
    ::close(pair[1]);
    if (pid < 0) {
      ::close(pair[0]);
      return fail(Error::os(fork_errno));
    }
    sock_ = pair[0];
    pid_ = pid;
    owner_ = client;
    return {};
  }

  // One request and its reply; false when the server has gone (it is then reaped).
  bool exchange(const Request& request, std::span<const int> fds, Reply& reply) {
    if (forks::send_with_fds(sock_, &request, sizeof request, fds.data(), fds.size())) {
      ssize_t n;
      do {
        n = ::recv(sock_, &reply, sizeof reply, 0);
      } while (n < 0 && errno == EINTR);
      if (n == static_cast<ssize_t>(sizeof reply)) return true;
    }
    stop();
    return false;
  }

 private:
  void stop() {
    if (sock_ >= 0) ::close(sock_);
    if (pid_ > 0) {
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    sock_ = -1;
    pid_ = -1;
  }

  void forget() {
    if (sock_ >= 0) ::close(sock_);
    sock_ = -1;
    pid_ = -1;
    owner_ = ::getpid();
  }

  int sock_ = -1;
  pid_t pid_ = -1;
  pid_t owner_ = -1;
};

ServerClient& server() {
  static ServerClient client;
  return client;
}

ChildEnd end_of(const Reply& reply) {
  ChildEnd end{ChildEndKind::Exited, 0};
  const int status = reply.status;
  if (WIFEXITED(status)) {
    end.code = WEXITSTATUS(status);
    if (end.code == CHILD_OUT_OF_MEMORY_STATUS) end.kind = ChildEndKind::OutOfMemory;
    if (end.code == CHILD_NO_THREAD_STATUS) end.kind = ChildEndKind::NoThread;
    return end;
  }
  end.code = WTERMSIG(status);
  if (end.code == SIGXCPU) {
    end.kind = ChildEndKind::CpuTime;
  } else if (end.code == SIGALRM) {
    end.kind = ChildEndKind::WallTime;
  } else {
    end.kind = ChildEndKind::Signaled;
  }
  return end;
}

}  // namespace

void start_fork_server() {
  ServerClient& client = server();
  const std::lock_guard lock(client.mutex);
  (void)client.ensure_started();  // a failure here is met again, and reported, by the first call
}

Result<ChildEnd> run_in_child(ChildBody body, std::span<const uint8_t> args, std::span<const int> fds,
                              const ChildLimits& limits) {
  int passed[CHILD_MAX_FDS];
  const size_t count = fds.size() + (limits.keep_stderr ? 1 : 0);
  if (args.size() > CHILD_MAX_ARGS || count > CHILD_MAX_FDS) return fail(Error::os(EINVAL));
  std::copy(fds.begin(), fds.end(), passed);
  if (limits.keep_stderr) passed[fds.size()] = STDERR_FILENO;
  Request request{};
  request.body = body;
  request.limits = limits;
  request.args_len = static_cast<uint32_t>(args.size());
  request.fd_count = static_cast<uint32_t>(count);
  if (!args.empty()) std::memcpy(request.args, args.data(), args.size());

  ServerClient& client = server();
  const std::lock_guard lock(client.mutex);
  Reply reply{};
  // A server that has gone (killed, or a fork that inherited a client) is made again once.
  for (int attempt = 0;; ++attempt) {
    if (Status started = client.ensure_started(); !started) return fail(started.error());
    if (client.exchange(request, std::span(passed, count), reply)) break;
    if (attempt == 1) return fail(Error::os(ECONNRESET));
  }
  if (reply.fork_errno != 0) return fail(Error::os(reply.fork_errno));
  return end_of(reply);
}

}  // namespace ixo::platform
