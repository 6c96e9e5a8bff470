// The fork server's wire (fork_server.h): what the client asks the server, what the server passes on to its child,
// and the answers, each one message on a SOCK_SEQPACKET socket, with the call's descriptors attached. The server and
// its children use only system calls and the stack here: the server may be a fork of a process with threads, in
// which another thread could have held any lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fork_server.h"

namespace ixo::platform::forks {

// Client to server, and server to child, as it is.
struct Request {
  ChildBody body;  // the server is a fork of this program: the same code at the same addresses
  ChildLimits limits;
  uint32_t args_len;
  uint32_t fd_count;
  uint8_t args[CHILD_MAX_ARGS];
};

// Server to client.
struct Reply {
  int32_t fork_errno;  // 0, or why no child could be made
  int32_t status;      // as waitpid gives it
};

// What a child that goes on tells the server after a call.
struct CallDone {
  int32_t status;
};

// Sends one message with descriptors; false when the other end has gone.
bool send_with_fds(int sock, const void* data, size_t len, const int* fds, size_t fd_count);

// One request as it came, with its descriptors (at most CHILD_MAX_FDS, close-on-exec; any more were closed).
struct Received {
  Request request;
  int fds[CHILD_MAX_FDS];
  size_t fd_count = 0;
  bool well_formed = false;  // a whole request whose descriptors all came
};

// Receives one request; false when the other end has gone.
bool receive(int sock, Received& in);

// Closes every descriptor above standard error but keep.
void close_all_but(int keep);

void close_all(const int* fds, size_t count);

}  // namespace ixo::platform::forks
