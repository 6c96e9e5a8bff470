#include "platform/fork_server.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ixo_bridge.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define IXO_ADDRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define IXO_ADDRESS_SANITIZED 1
#endif
#endif

#ifdef IXO_ADDRESS_SANITIZED
// AddressSanitizer would end the process itself when an allocation fails at a child's data limit; the failure must
// reach the code instead, as it does without the sanitizer, so that the child ends as out of memory.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace ixo::platform {

namespace {

#ifdef IXO_ADDRESS_SANITIZED
constexpr bool ADDRESS_SANITIZED = true;
#else
constexpr bool ADDRESS_SANITIZED = false;
#endif

constexpr int OUT_OF_MEMORY_STATUS = CHILD_OUT_OF_MEMORY_STATUS;

struct Request {
  ChildBody body;  // the server is a fork of this program: the same code at the same addresses
  ChildLimits limits;
  uint32_t args_len;
  uint32_t fd_count;
  uint8_t args[CHILD_MAX_ARGS];
};

struct Reply {
  int32_t fork_errno;  // 0, or why no child could be made
  int32_t status;      // as waitpid gives it
};

// ---- In the server and its children: only system calls and the stack, since the server may be a fork of a
// process with threads (made on first use), where another thread could have held any lock.

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// A number field of a process's status ("VmData:" in kB, "Threads:"), or 0.
uint64_t status_field(const char* name, const char* path = "/proc/self/status") {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
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
  const char* field = std::strstr(text, name);
  if (field == nullptr) return 0;
  uint64_t value = 0;
  for (const char* p = field + std::strlen(name); *p != '\0' && *p != '\n'; ++p)
    if (*p >= '0' && *p <= '9') value = value * 10 + static_cast<uint64_t>(*p - '0');
  return value;
}

// The data a process has mapped, which a limit comes on top of: a sanitizer's shadow memory alone can be terabytes.
uint64_t current_data_bytes(const char* path = "/proc/self/status") { return status_field("\nVmData:", path) * 1024; }

// AddressSanitizer keeps freed memory aside for a while and keeps books on every allocation: that comes on top.
uint64_t with_sanitizer_allowance(uint64_t bytes) {
  if (!ADDRESS_SANITIZED) return bytes;
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

// Sends one message with descriptors; false when the other end has gone.
bool send_with_fds(int sock, const void* data, size_t len, const int* fds, size_t fd_count) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * CHILD_MAX_FDS)]{};
  iovec iov{const_cast<void*>(data), len};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (fd_count != 0) {
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fd_count);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fd_count);
    std::memcpy(CMSG_DATA(c), fds, sizeof(int) * fd_count);
  }
  ssize_t n;
  do {
    n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(len);
}

// Receives one request and its descriptors; false when the other end has gone.
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
    for (size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      if (fd_count < CHILD_MAX_FDS) {
        fds[fd_count++] = fd;
      } else {
        ::close(fd);
      }
    }
  }
  well_formed = static_cast<size_t>(n) == sizeof request && (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
                request.fd_count == fd_count && request.args_len <= CHILD_MAX_ARGS;
  return true;
}

// Closes every descriptor above standard error but keep.
void close_all_but(int keep) {
  ::close_range(STDERR_FILENO + 1, static_cast<unsigned>(keep) - 1, 0);
  ::close_range(static_cast<unsigned>(keep) + 1, ~0u, 0);
}

void close_all(const int* fds, size_t count) {
  for (size_t i = 0; i < count; ++i) ::close(fds[i]);
}

// What a child that goes on tells the server after a call.
struct CallDone {
  int32_t status;
};

// A child keeps serving calls while each ends cleanly: warm memory, as a long-lived process has, instead of
// faulting in a fresh heap for every file. It ends after any call that did not (its body's status not 0, a
// thread of the library still there), and a limit or a signal ends it anyway. Each call's data limit counts from
// what the child was born with, so the memory it kept counts too, as if the call had the child to itself; a
// child that kept more than half of the next call's limit is replaced before that call, so that the kept memory,
// however scattered, never leaves a call less than half its limit.

bool only_thread() {
  // A library's worker that has handed over its result may still be on its way out.
  for (int i = 0; i < 50; ++i) {
    if (status_field("\nThreads:") == 1) return true;
    const timespec pause{0, 100000};
    ::nanosleep(&pause, nullptr);
  }
  return false;
}

[[noreturn]] void out_of_memory() { ::_exit(OUT_OF_MEMORY_STATUS); }

[[noreturn]] void child_loop(int sock) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // the server gone means nobody waits for the result
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  // Freed memory stays for the next allocation rather than being given back and faulted in afresh.
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
  std::set_new_handler(out_of_memory);
  ixo_exit_on_alloc_failure(OUT_OF_MEMORY_STATUS);
  const int null = ::dup(STDIN_FILENO);  // /dev/null, from the server
  const uint64_t born_with = current_data_bytes();  // as the server saw it at the fork
  for (;;) {
    Request request;
    int fds[CHILD_MAX_FDS];
    size_t fd_count = 0;
    bool well_formed = false;
    if (!receive(sock, request, fds, fd_count, well_formed)) ::_exit(0);
    if (!well_formed) ::_exit(2);
    const ChildLimits& limits = request.limits;
    size_t body_fds = fd_count;
    if (limits.keep_stderr && body_fds > 0) ::dup2(fds[--body_fds], STDERR_FILENO);
    // Only soft limits: a hard one could not be raised again for the next call.
    rlimit data{};
    ::getrlimit(RLIMIT_DATA, &data);
    data.rlim_cur = std::min<uint64_t>(saturating_add(born_with, with_sanitizer_allowance(limits.data_bytes)),
                                       data.rlim_max);
    ::setrlimit(RLIMIT_DATA, &data);
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const uint64_t used = static_cast<uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + 1;
    rlimit cpu{};
    ::getrlimit(RLIMIT_CPU, &cpu);
    cpu.rlim_cur = std::min<uint64_t>(saturating_add(used, limits.cpu_seconds), cpu.rlim_max);
    ::setrlimit(RLIMIT_CPU, &cpu);
    ::alarm(limits.wall_seconds);
    const int status = request.body(fds, body_fds, request.args, request.args_len);
    ::alarm(0);
    close_all(fds, fd_count);
    ::dup2(null, STDERR_FILENO);
    if (status != 0 || !only_thread()) ::_exit(status);
    const CallDone done{status};
    if (::send(sock, &done, sizeof done, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof done)) ::_exit(0);
  }
}

struct Child {
  pid_t pid = -1;
  int sock = -1;
  uint64_t born_with = 0;  // its data at birth
  char status_path[32] = {};
};

// Whether a kept child holds more than half of what the call may have (see child_loop).
bool too_full_for(const Child& child, const ChildLimits& limits) {
  const uint64_t kept = current_data_bytes(child.status_path);
  return kept > saturating_add(child.born_with, with_sanitizer_allowance(limits.data_bytes) / 2);
}

// Reaps a child that has ended, or is ending, with its status.
Reply reap(Child& child) {
  int status = 0;
  while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  ::close(child.sock);
  child = {};
  return Reply{0, status};
}

// Runs one request in the kept child, or in a new one; a kept child that has gone since is replaced once.
Reply run_request(Child& child, const Request& request, const int* fds, size_t fd_count) {
  if (child.pid > 0 && too_full_for(child, request.limits)) {
    ::kill(child.pid, SIGKILL);
    reap(child);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (child.pid < 0) {
      int pair[2];
      if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return Reply{errno, 0};
      const pid_t pid = ::fork();
      const uint64_t born_with = current_data_bytes();
      if (pid == 0) {
        // Of the server's descriptors (the client's socket, those of this request) it keeps none: each call's
        // come with the call.
        close_all_but(pair[1]);
        child_loop(pair[1]);
      }
      const int fork_errno = errno;
      ::close(pair[1]);
      if (pid < 0) {
        ::close(pair[0]);
        return Reply{fork_errno, 0};
      }
      child = {pid, pair[0], born_with, {}};
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
  close_all_but(sock);
  Child child;
  for (;;) {
    Request request;
    int fds[CHILD_MAX_FDS];
    size_t fd_count = 0;
    bool well_formed = false;
    if (!receive(sock, request, fds, fd_count, well_formed)) ::_exit(0);
    const Reply reply = well_formed ? run_request(child, request, fds, fd_count) : Reply{EINVAL, 0};
    close_all(fds, fd_count);
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
    if (send_with_fds(sock_, &request, sizeof request, fds.data(), fds.size())) {
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
    if (end.code == OUT_OF_MEMORY_STATUS) end.kind = ChildEndKind::OutOfMemory;
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
