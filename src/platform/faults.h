// Test seam: failures injected into the platform's calls, so that tests can make a flush or a link fail in the
// middle of a run, the system refuse io_uring or the fork of a decoder's child, and a moment at which a test can
// act as a second writer of the output tree. Nothing is injected unless a test installs a hook. The fork server
// is a fork of the client (fork_server.h): it consults the hook that was installed when it was made.
#pragma once

namespace ixo::platform::faults {

// Place: an entry is about to be placed in the output tree (nothing fails there). Write: a staging file's bytes
// are written out (not where a failed file's bytes are dropped). SyncFs: the flush of a whole
// file system for a group of files. Classify: any answer but 0 makes a disk file system one of those whose files
// are each flushed by themselves.
// ForkChild, ReadStatus: the fork server's fork of a child and its reading of a process's status in /proc.
enum class Call { Flush, Link, Unnamed, Ring, Place, SyncFs, Classify, ForkChild, ReadStatus, Write };

// Consulted before each such call, on the thread that makes it; a non-zero error number makes the call fail
// as if the system had refused it with that number.
using Hook = int (*)(Call call);

void set_hook(Hook hook);
// The error number the hook gives for call, 0 when none is installed.
int injected(Call call);

}  // namespace ixo::platform::faults
