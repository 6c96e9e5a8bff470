#include "platform/fork_protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ixo::platform::forks {

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

bool receive(int sock, Received& in) {
  Request& request = in.request;
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
  in.fd_count = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      if (in.fd_count < CHILD_MAX_FDS) {
        in.fds[in.fd_count++] = fd;
      } else {
        ::close(fd);
      }
    }
  }
  in.well_formed = static_cast<size_t>(n) == sizeof request && (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
                   request.fd_count == in.fd_count && request.args_len <= CHILD_MAX_ARGS;
  return true;
}

void close_all_but(int keep) {
  ::close_range(STDERR_FILENO + 1, static_cast<unsigned>(keep) - 1, 0);
  ::close_range(static_cast<unsigned>(keep) + 1, ~0u, 0);
}

void close_all(const int* fds, size_t count) {
  for (size_t i = 0; i < count; ++i) ::close(fds[i]);
}

}  // namespace ixo::platform::forks
