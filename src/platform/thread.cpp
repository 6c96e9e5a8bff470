#include "platform/thread.h"

#include <memory>

namespace ixo::platform {
namespace {

using Body = std::move_only_function<void() noexcept>;

void* trampoline(void* arg) {
  const std::unique_ptr<Body> body(static_cast<Body*>(arg));
  (*body)();
  return nullptr;
}

struct Attr {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  ~Attr() {
    if (rc == 0) pthread_attr_destroy(&attr);
  }
};

}  // namespace

Result<Thread> Thread::start(size_t stack_bytes, Body body) {
  Attr a;
  if (a.rc != 0) return fail(Error::os(a.rc));
  if (const int rc = pthread_attr_setstacksize(&a.attr, stack_bytes); rc != 0) return fail(Error::os(rc));
  auto owned = std::make_unique<Body>(std::move(body));
  Thread t;
  if (const int rc = pthread_create(&t.id_, &a.attr, trampoline, owned.get()); rc != 0) return fail(Error::os(rc));
  owned.release();  // the thread owns it now
  t.joinable_ = true;
  return t;
}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    join();
    id_ = other.id_;
    joinable_ = other.joinable_;
    other.joinable_ = false;
  }
  return *this;
}

void Thread::join() {
  if (!joinable_) return;
  joinable_ = false;
  pthread_join(id_, nullptr);
}

}  // namespace ixo::platform
