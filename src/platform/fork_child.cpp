#include "platform/fork_child.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/faults.h"
#include "platform/fork_protocol.h"

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

namespace ixo::platform::forks {

namespace {

#ifdef IXO_ADDRESS_SANITIZED
constexpr bool ADDRESS_SANITIZED = true;
#else
constexpr bool ADDRESS_SANITIZED = false;
#endif

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// A number field of a process's status ("VmData:" in kB, "Threads:"), or 0.
uint64_t status_field(const char* name, const char* path = "/proc/self/status") {
  if (const int injected = faults::injected(faults::Call::ReadStatus); injected != 0) {
    errno = injected;
    return 0;
  }
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

// AddressSanitizer keeps freed memory aside for a while and keeps books on every allocation: that comes on top.
uint64_t with_sanitizer_allowance(uint64_t bytes) {
  if (!ADDRESS_SANITIZED) return bytes;
  return saturating_add(bytes > UINT64_MAX / 3 ? UINT64_MAX : 3 * bytes, uint64_t{1} << 30);
}

bool only_thread() {
  // A library's worker that has handed over its result may still be on its way out.
  for (int i = 0; i < 50; ++i) {
    if (status_field("\nThreads:") == 1) return true;
    const timespec pause{0, 100000};
    ::nanosleep(&pause, nullptr);
  }
  return false;
}

[[noreturn]] void out_of_memory() { ::_exit(CHILD_OUT_OF_MEMORY_STATUS); }

// Only soft limits: a hard one could not be raised again for the next call.
void set_limits(const ChildLimits& limits, uint64_t born_with) {
  rlimit data{};
  ::getrlimit(RLIMIT_DATA, &data);
  data.rlim_cur =
      std::min<uint64_t>(saturating_add(born_with, with_sanitizer_allowance(limits.data_bytes)), data.rlim_max);
  ::setrlimit(RLIMIT_DATA, &data);
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const uint64_t used = static_cast<uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + 1;
  rlimit cpu{};
  ::getrlimit(RLIMIT_CPU, &cpu);
  cpu.rlim_cur = std::min<uint64_t>(saturating_add(used, limits.cpu_seconds), cpu.rlim_max);
  ::setrlimit(RLIMIT_CPU, &cpu);
  ::alarm(limits.wall_seconds);
}

}  // namespace

uint64_t current_data_bytes(const char* status_path) { return status_field("\nVmData:", status_path) * 1024; }

bool kept_too_much(const char* status_path, uint64_t born_with, const ChildLimits& limits) {
  const uint64_t kept = current_data_bytes(status_path);
  return kept > saturating_add(born_with, with_sanitizer_allowance(limits.data_bytes) / 2);
}

void child_loop(int sock) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // the server gone means nobody waits for the result
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  // Freed memory stays for the next allocation rather than being given back and faulted in afresh.
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
  std::set_new_handler(out_of_memory);
  const int null = ::dup(STDIN_FILENO);  // /dev/null, from the server
  const uint64_t born_with = current_data_bytes();  // as the server saw it at the fork
  for (;;) {
    Received in;
    if (!receive(sock, in)) ::_exit(0);
    if (!in.well_formed) ::_exit(2);
    const Request& request = in.request;
    size_t body_fds = in.fd_count;
    if (request.limits.keep_stderr && body_fds > 0) ::dup2(in.fds[--body_fds], STDERR_FILENO);
    set_limits(request.limits, born_with);
    const int status = request.body(in.fds, body_fds, request.args, request.args_len);
    ::alarm(0);
    close_all(in.fds, in.fd_count);
    ::dup2(null, STDERR_FILENO);
    if (status != 0 || !only_thread()) ::_exit(status);
    const CallDone done{status};
    if (::send(sock, &done, sizeof done, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof done)) ::_exit(0);
  }
}

}  // namespace ixo::platform::forks
