// Test seam: failures injected into the calls that finish a file of the output tree, so that tests can make a
// flush or a link fail in the middle of a run or the system refuse io_uring, and a moment at which a test can act
// as a second writer of the tree. Nothing is injected unless a test installs a hook.
#pragma once

namespace ixo::platform::faults {

// Place: an entry is about to be placed in the output tree (nothing fails there). SyncFs: the flush of a whole
// file system for a group of files. Classify: any answer but 0 makes a disk file system one of those whose files
// are each flushed by themselves.
enum class Call { Flush, Link, Unnamed, Ring, Place, SyncFs, Classify };

// Consulted before each such call, on the thread that makes it; a non-zero error number makes the call fail
// as if the system had refused it with that number.
using Hook = int (*)(Call call);

void set_hook(Hook hook);
// The error number the hook gives for call, 0 when none is installed.
int injected(Call call);

}  // namespace ixo::platform::faults
