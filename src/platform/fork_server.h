// Runs a function in a child process of its own, under limits that the system enforces: the way a library that
// may exhaust memory, crash or never finish is kept from taking the whole run with it. The children are forked by
// a small server process that main() forks before any thread exists, so each child starts as a copy of a process
// with one thread, no lock held and little memory. A child that ended its call cleanly (status 0, no other thread
// left) is kept for the next call, so that its memory is warm; any other end ends it. Where main() did not start
// the server (tests), it is made on first use, and made again if it has gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "error.h"

namespace ixo::platform {

struct ChildLimits {
  uint64_t data_bytes = 0;    // data the child may map beyond what it starts with
  uint32_t cpu_seconds = 0;   // processor time, all its threads together
  uint32_t wall_seconds = 0;  // time from its start
  bool keep_stderr = false;   // otherwise its standard error goes nowhere
};

enum class ChildEndKind : uint8_t {
  Exited,       // code: its exit status
  Signaled,     // code: the signal
  OutOfMemory,  // an allocation failed (its data limit, or the system's memory)
  NoThread,     // a thread could not be started, though there was memory for it
  CpuTime,      // the processor-time limit
  WallTime,     // the time limit
};

struct ChildEnd {
  ChildEndKind kind;
  int code;
};

// The child's work. It gets the descriptors given to run_in_child, in order (closed after it returns), and the
// argument bytes; what it returns is its exit status. It may allocate and start threads: it is all the child does.
// A status of 0 says that nothing of the call is left behind, so the child may serve another.
using ChildBody = int (*)(const int* fds, size_t fd_count, const uint8_t* args, size_t args_len);

// The status a child ends with when an allocation fails, told as OutOfMemory: the child sets it up for C++'s
// allocations; a body whose libraries allocate otherwise sets them up to end with it too.
inline constexpr int CHILD_OUT_OF_MEMORY_STATUS = 121;
// The status of a child that could not start a thread (a limit on processes or threads), told as NoThread.
inline constexpr int CHILD_NO_THREAD_STATUS = 122;

inline constexpr size_t CHILD_MAX_FDS = 3;
inline constexpr size_t CHILD_MAX_ARGS = 256;

// Forks the server now (main() does, before any thread starts); nothing when it runs already.
void start_fork_server();

// Runs body in a new child under limits and waits for it to end.
Result<ChildEnd> run_in_child(ChildBody body, std::span<const uint8_t> args, std::span<const int> fds,
                              const ChildLimits& limits);

}  // namespace ixo::platform
