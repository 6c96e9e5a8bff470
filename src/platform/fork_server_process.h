// The fork server process (fork_server.h): it serves the client's requests one at a time, each in its kept child
// or in a new one that it forks, and answers with how the call ended.
#pragma once

#include <sys/types.h>

namespace ixo::platform::forks {

// The server's life, on its end sock of the socket pair with client (the process that forked it).
[[noreturn]] void serve(int sock, pid_t client);

}  // namespace ixo::platform::forks
