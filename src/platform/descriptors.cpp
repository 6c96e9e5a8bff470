#include "platform/descriptors.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace ixo::platform {

void raise_descriptor_limit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

uint64_t descriptors_left() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const int lowest = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
  if (lowest < 0) return 0;
  ::close(lowest);
  const uint64_t soft = limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
  return soft > static_cast<uint64_t>(lowest) ? soft - static_cast<uint64_t>(lowest) : 0;
}

}  // namespace ixo::platform
