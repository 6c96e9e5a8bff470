// A child of the fork server (fork_server.h): its loop of calls and the limits each call runs under. A child keeps
// serving calls while each ends cleanly: warm memory, as a long-lived process has, instead of faulting in a fresh
// heap for every file. It ends after any call that did not (its body's status not 0, a thread of the library still
// there), and a limit or a signal ends it anyway. Each call's data limit counts from what the child was born with,
// so the memory it kept counts too, as if the call had the child to itself; a child that kept more than half of the
// next call's limit is replaced before that call, so that the kept memory, however scattered, never leaves a call
// less than half its limit. Only system calls and the stack, as in the server (fork_protocol.h).
#pragma once

#include <cstdint>

#include "platform/fork_server.h"

namespace ixo::platform::forks {

// The data a process has mapped ("VmData:" of its status file), which a limit comes on top of: a sanitizer's
// shadow memory alone can be terabytes. 0 when it cannot be read.
uint64_t current_data_bytes(const char* status_path = "/proc/self/status");

// Whether a kept child, born with born_with bytes of data, holds more than half of what a call under limits may
// have.
bool kept_too_much(const char* status_path, uint64_t born_with, const ChildLimits& limits);

// The child's life, on the server's end sock of their socket pair.
[[noreturn]] void child_loop(int sock);

}  // namespace ixo::platform::forks
