// One call at a time made on a thread of its own, while its owner goes on: the owner hands a call over, and
// later looks for or waits for its result. Where no thread can be started the call is made at once, on the
// owner's thread.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

#include "error.h"
#include "platform/thread.h"

namespace ixo::platform {

class SideCall {
 public:
  SideCall() = default;
  SideCall(const SideCall&) = delete;
  SideCall& operator=(const SideCall&) = delete;
  // Waits for the call in hand, if any.
  ~SideCall();

  // Starts call; none may be outstanding. The thread starts with the first call.
  void start(std::move_only_function<Status()> call);
  bool outstanding() const { return outstanding_; }
  // The result of the outstanding call once it has returned; none before that, or when none is outstanding.
  std::optional<Status> poll();
  // Waits for the outstanding call's result; one must be outstanding.
  Status wait();

 private:
  void work() noexcept;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::move_only_function<Status()> call_;  // handed over, not yet taken by the thread
  std::optional<Status> result_;
  bool stop_ = false;
  bool outstanding_ = false;  // the owner's own view
  bool refused_ = false;      // no thread could be started: calls are made at once
  std::optional<Thread> thread_;  // last: joined before the rest goes
};

}  // namespace ixo::platform
