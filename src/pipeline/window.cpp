#include "pipeline/window.h"

namespace ixo::pack {

bool Window::admit() {
  std::unique_lock lock(mutex_);
  room_.wait(lock, [&] { return stop_ || in_flight_ < limit_; });
  if (stop_) return false;
  ++in_flight_;
  return true;
}

void Window::consumed() {
  {
    std::lock_guard lock(mutex_);
    if (in_flight_ > 0) --in_flight_;
  }
  room_.notify_all();
}

void Window::stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  room_.notify_all();
}

uint64_t Window::in_flight() const {
  std::lock_guard lock(mutex_);
  return in_flight_;
}

}  // namespace ixo::pack
