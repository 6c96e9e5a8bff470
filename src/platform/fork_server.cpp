#include "platform/fork_server.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ixo_bridge.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <new>

namespace ixo::platform {

namespace {

// A child whose allocation failed ends with this status (set for C++ and for the Rust libraries alike).
constexpr int OUT_OF_MEMORY_STATUS = 121;

struct Request {
  ChildBody body;  // the server is a fork of this program: the same code at the same addresses
  ChildLimits limits;
  uint32_t args_len;
  uint32_t fd_count;
  uint8_t args[CHILD_MAX_ARGS];
};

struct Reply {
  int32_t fork_errno;  // 0, or why no child could be made
  int32_t status;      // as wait4 gives it
  uint64_t cpu_usec;
  uint64_t peak_rss_kib;
};

// ---- In the server and its children: only system calls and the stack, since the server may be a fork of a
// process with threads (made on first use), where another thread could have held any lock.

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The data this process has mapped already (VmData), which the limit comes on top of: a sanitizer's shadow
// memory alone can be terabytes.
uint64_t current_data_bytes() {
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[8192];
  size_t len = 0;
  for (ssize_t n; len < sizeof text - 1 && (n = ::read(fd, text + len, sizeof text - 1 - len)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    len += static_cast<size_t>(n);
  }
  ::close(fd);
  text[len] = '\0';
  const char* field = std::strstr(text, "\nVmData:");
  if (field == nullptr) return 0;
  uint64_t kib = 0;
  for (const char* p = field + 8; *p != '\0' && *p != '\n'; ++p)
    if (*p >= '0' && *p <= '9') kib = kib * 10 + static_cast<uint64_t>(*p - '0');
  return kib * 1024;
}

// AddressSanitizer keeps freed memory aside for a while and keeps books on every allocation: that comes on top.
uint64_t with_sanitizer_allowance(uint64_t bytes) {
#if defined(__SANITIZE_ADDRESS__)
  constexpr bool sanitized = true;
#elif defined(__has_feature)
  constexpr bool sanitized = __has_feature(address_sanitizer);
#else
  constexpr bool sanitized = false;
#endif
  if (!sanitized) return bytes;
  return saturating_add(bytes > UINT64_MAX / 3 ? UINT64_MAX : 3 * bytes, uint64_t{1} << 30);
}

void default_signals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &action, nullptr);  // SIGKILL and SIGSTOP just refuse
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void out_of_memory() { ::_exit(OUT_OF_MEMORY_STATUS); }

[[noreturn]] void run_child(const Request& request, const int* fds, size_t fd_count, int server_sock) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // the server gone means nobody waits for the result
  ::close(server_sock);
  const ChildLimits& limits = request.limits;
  if (limits.keep_stderr && fd_count > 0) ::dup2(fds[--fd_count], STDERR_FILENO);
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  const uint64_t data = saturating_add(current_data_bytes(), with_sanitizer_allowance(limits.data_bytes));
  const rlimit data_limit{data, data};
  ::setrlimit(RLIMIT_DATA, &data_limit);
  // The soft limit stops it with SIGXCPU; the hard one a second later with SIGKILL, should that be caught.
  const rlimit cpu{limits.cpu_seconds, saturating_add(limits.cpu_seconds, 1)};
  ::setrlimit(RLIMIT_CPU, &cpu);
  ::alarm(limits.wall_seconds);
  // A child lives for one call: keep freed memory for reuse rather than mapping and faulting it in afresh each
  // time, as a long-lived process would have learned to by then.
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
  std::set_new_handler(out_of_memory);
  ixo_exit_on_alloc_failure(OUT_OF_MEMORY_STATUS);
  ::_exit(request.body(fds, fd_count, request.args, request.args_len));
}

// Receives one request and its descriptors; false when the client has gone.
bool receive(int sock, Request& request, int* fds, size_t& fd_count, bool& well_formed) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * CHILD_MAX_FDS)];
  iovec iov{&request, sizeof request};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  fd_count = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count && fd_count < CHILD_MAX_FDS; ++i)
      std::memcpy(&fds[fd_count++], CMSG_DATA(c) + i * sizeof(int), sizeof(int));
  }
  well_formed = static_cast<size_t>(n) == sizeof request && (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
                request.fd_count == fd_count && request.args_len <= CHILD_MAX_ARGS;
  return true;
}

[[noreturn]] void serve(int sock, pid_t client) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != client) ::_exit(0);
  default_signals();
  if (sock <= STDERR_FILENO) sock = ::fcntl(sock, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  // Nothing of the client's stays open here: a pipe end held by the server would keep its reader waiting.
  if (const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC); null >= 0) {
    for (int fd = 0; fd <= STDERR_FILENO; ++fd) ::dup2(null, fd);
    if (null > STDERR_FILENO && null != sock) ::close(null);
  }
  ::close_range(STDERR_FILENO + 1, static_cast<unsigned>(sock) - 1, 0);
  ::close_range(static_cast<unsigned>(sock) + 1, ~0u, 0);
  for (;;) {
    Request request;
    int fds[CHILD_MAX_FDS];
    size_t fd_count = 0;
    bool well_formed = false;
    if (!receive(sock, request, fds, fd_count, well_formed)) ::_exit(0);
    Reply reply{};
    if (!well_formed) {
      reply.fork_errno = EINVAL;
    } else if (const pid_t child = ::fork(); child == 0) {
      run_child(request, fds, fd_count, sock);
    } else if (child < 0) {
      reply.fork_errno = errno;
    } else {
      int status = 0;
      rusage usage{};
      while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
      }
      reply.status = status;
      reply.cpu_usec = static_cast<uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 +
                       static_cast<uint64_t>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
      reply.peak_rss_kib = static_cast<uint64_t>(usage.ru_maxrss);
    }
    for (size_t i = 0; i < fd_count; ++i) ::close(fds[i]);
    if (::send(sock, &reply, sizeof reply, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof reply)) ::_exit(0);
  }
}

// ---- In the client.

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
      serve(pair[1], client);
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
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * CHILD_MAX_FDS)]{};
    iovec iov{const_cast<Request*>(&request), sizeof request};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (!fds.empty()) {
      msg.msg_control = control;
      msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
      std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t n;
    do {
      n = ::sendmsg(sock_, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof request)) {
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

ChildEnd end_of(const Reply& reply, const ChildLimits& limits) {
  ChildEnd end{ChildEndKind::Exited, 0, reply.peak_rss_kib};
  const int status = reply.status;
  if (WIFEXITED(status)) {
    end.code = WEXITSTATUS(status);
    if (end.code == OUT_OF_MEMORY_STATUS) end.kind = ChildEndKind::OutOfMemory;
    return end;
  }
  end.code = WTERMSIG(status);
  const bool used_cpu = reply.cpu_usec >= uint64_t{limits.cpu_seconds} * 1000000;
  if (end.code == SIGXCPU || (end.code == SIGKILL && used_cpu)) {
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
  return end_of(reply, limits);
}

}  // namespace ixo::platform
