// The bound on decoded blocks in flight, shared by the decoding workers and the consuming thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ixo::pack {

class Window {
 public:
  // limit: the most positions taken by workers and not yet consumed (the worker count + 2, saturating).
  explicit Window(uint64_t limit) : limit_(limit) {}
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // A worker's admission: waits for room; true with a place taken, false once stop is set (the worker leaves).
  bool admit();
  // The consumer took one result: in_flight - 1 (0 stays 0), then every waiter is woken.
  void consumed();
  // After the callback: stop is set and every waiter is woken.
  void stop();

  uint64_t limit() const { return limit_; }
  uint64_t in_flight() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable room_;
  uint64_t in_flight_ = 0;
  bool stop_ = false;
  const uint64_t limit_;
};

}  // namespace ixo::pack
