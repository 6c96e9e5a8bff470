#include "platform/flusher.h"

#include <liburing.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/faults.h"

namespace ixo::platform {

struct Flusher::Ring {
  io_uring ring{};
  bool set_up = false;   // a ring whose set-up failed owns no descriptor to close
  std::vector<int> fds;  // by slot: the descriptor of the flush in flight, so an interrupted one can be repeated
  std::vector<uint64_t> tokens;
  std::vector<unsigned> free_slots;
  ~Ring() {
    if (set_up) io_uring_queue_exit(&ring);
  }
};

namespace {

Status fsync_retrying(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return fail(Error::last_os());
  }
  return {};
}

// Queues an fsync of fd for slot and hands it to the kernel; false when the ring cannot take it.
bool queue_fsync(io_uring& ring, int fd, unsigned slot) {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring);
  if (sqe == nullptr) return false;
  io_uring_prep_fsync(sqe, fd, 0);
  io_uring_sqe_set_data64(sqe, slot);
  int rc;
  do {
    rc = io_uring_submit(&ring);
  } while (rc == -EINTR);
  return rc == 1;
}

}  // namespace

Flusher::Flusher(unsigned capacity) : capacity_(std::max(capacity, 1u)) {}

void Flusher::start_ring() {
  tried_ring_ = true;
  auto ring = std::make_unique<Ring>();
  // Refused where io_uring is not built in, disabled, or filtered out (containers often forbid it).
  if (faults::injected(faults::Call::Ring) != 0 || io_uring_queue_init(capacity_, &ring->ring, 0) != 0) return;
  ring->set_up = true;
  ring->fds.assign(capacity_, -1);
  ring->tokens.assign(capacity_, 0);
  for (unsigned slot = capacity_; slot-- > 0;) ring->free_slots.push_back(slot);
  ring_ = std::move(ring);
}

Flusher::~Flusher() {
  while (outstanding_ > 0 && ring_) (void)reap(true);
}

void Flusher::flush_now(int fd, uint64_t token) {
  finished_.push_back({token, fsync_retrying(fd)});
}

void Flusher::submit(int fd, uint64_t token, bool in_memory) {
  ++outstanding_;
  if (const int injected = faults::injected(faults::Call::Flush); injected != 0) {
    finished_.push_back({token, fail(Error::os(injected))});
    return;
  }
  if (in_memory) {
    finished_.push_back({token, {}});
    return;
  }
  if (!tried_ring_) start_ring();
  if (!ring_ || ring_->free_slots.empty()) return flush_now(fd, token);
  const unsigned slot = ring_->free_slots.back();
  if (!queue_fsync(ring_->ring, fd, slot)) return flush_now(fd, token);
  ring_->free_slots.pop_back();
  ring_->fds[slot] = fd;
  ring_->tokens[slot] = token;
}

std::optional<Flusher::Done> Flusher::reap(bool wait) {
  if (outstanding_ == 0) return std::nullopt;
  if (!finished_.empty()) {
    Done done = std::move(finished_.front());
    finished_.pop_front();
    --outstanding_;
    return done;
  }
  if (!ring_) return std::nullopt;
  for (;;) {
    io_uring_cqe* cqe = nullptr;
    const int rc = wait ? io_uring_wait_cqe(&ring_->ring, &cqe) : io_uring_peek_cqe(&ring_->ring, &cqe);
    if (rc == -EINTR) continue;
    if (rc != 0 || cqe == nullptr) {
      if (!wait) return std::nullopt;
      // The ring cannot be waited on: nothing outstanding can be trusted to finish, so each is flushed here.
      // A request that the kernel still runs only repeats a flush of a descriptor that stays open.
      for (unsigned slot = 0; slot < capacity_; ++slot) {
        if (ring_->fds[slot] < 0) continue;
        flush_now(ring_->fds[slot], ring_->tokens[slot]);
        ring_->fds[slot] = -1;
      }
      ring_.reset();
      return reap(false);
    }
    const unsigned slot = static_cast<unsigned>(io_uring_cqe_get_data64(cqe));
    const int res = cqe->res;
    io_uring_cqe_seen(&ring_->ring, cqe);
    if (res == -EINTR && queue_fsync(ring_->ring, ring_->fds[slot], slot)) continue;
    Done done{ring_->tokens[slot], {}};
    if (res == -EINTR) {
      done.result = fsync_retrying(ring_->fds[slot]);
    } else if (res < 0) {
      done.result = fail(Error::os(-res));
    }
    ring_->fds[slot] = -1;
    ring_->free_slots.push_back(slot);
    --outstanding_;
    return done;
  }
}

}  // namespace ixo::platform
