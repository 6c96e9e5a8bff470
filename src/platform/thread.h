// A joinable thread with a chosen stack size; joined when its owner goes away.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

#include "error.h"

namespace ixo::platform {

class Thread {
 public:
  // Starts body on a new thread with a stack of stack_bytes. A thread that cannot be started is an error
  // (body is dropped without running).
  static Result<Thread> start(size_t stack_bytes, std::move_only_function<void() noexcept> body);

  Thread() = default;
  Thread(Thread&& other) noexcept : id_(other.id_), joinable_(other.joinable_) { other.joinable_ = false; }
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread() { join(); }

  void join();

 private:
  pthread_t id_{};
  bool joinable_ = false;
};

}  // namespace ixo::platform
