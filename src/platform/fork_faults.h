// Test seam: failures injected into the fork server's own calls, so that tests can make the fork of a child fail,
// or the server's reading of a process's status in /proc. Nothing is injected unless a test installs a hook. The
// server is a fork of the client (fork_server.h): it consults the hook that was installed when it was made.
#pragma once

namespace ixo::platform::fork_faults {

enum class Call { ForkChild, ReadStatus };

// Consulted before each such call; a non-zero error number makes the call fail as if the system had refused it
// with that number.
using Hook = int (*)(Call call);

void set_hook(Hook hook);
// The error number the hook gives for call, 0 when none is installed.
int injected(Call call);

}  // namespace ixo::platform::fork_faults
