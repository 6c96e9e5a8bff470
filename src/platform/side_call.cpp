#include "platform/side_call.h"

#include <utility>

namespace ixo::platform {

namespace {
// The calls made here are system calls.
constexpr size_t SIDE_STACK = 128 << 10;
}  // namespace

SideCall::~SideCall() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.reset();
}

void SideCall::start(std::move_only_function<Status()> call) {
  outstanding_ = true;
  if (!thread_ && !refused_) {
    Result<Thread> t = Thread::start(SIDE_STACK, [this]() noexcept { work(); });
    if (t)
      thread_.emplace(std::move(*t));
    else
      refused_ = true;
  }
  if (refused_) {
    Status result = call();
    std::lock_guard lock(mutex_);
    result_.emplace(std::move(result));
    return;
  }
  {
    std::lock_guard lock(mutex_);
    call_ = std::move(call);
  }
  changed_.notify_all();
}

std::optional<Status> SideCall::poll() {
  if (!outstanding_) return std::nullopt;
  std::optional<Status> result;
  {
    std::lock_guard lock(mutex_);
    result = std::move(result_);
    result_.reset();
  }
  if (result) outstanding_ = false;
  return result;
}

Status SideCall::wait() {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return result_.has_value(); });
  }
  std::optional<Status> result = poll();
  return result ? std::move(*result) : Status{};
}

void SideCall::work() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return static_cast<bool>(call_) || stop_; });
    // A call handed over is always made: its owner waits for it before it lets go of what it uses.
    if (!call_) return;
    std::move_only_function<Status()> call = std::move(call_);
    call_ = nullptr;
    lock.unlock();
    Status result = call();
    call = nullptr;
    lock.lock();
    result_.emplace(std::move(result));
    changed_.notify_all();
  }
}

}  // namespace ixo::platform
