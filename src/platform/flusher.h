// Flushes of open files to stable storage with several outstanding at once, so that the file system can join
// them into shared journal commits. They are asynchronous requests through io_uring, made and reaped by the
// calling thread alone; where the system refuses io_uring, each flush is made at once when it is requested.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "error.h"

namespace ixo::platform {

class Flusher {
 public:
  // Room for capacity outstanding flushes (at least 1).
  explicit Flusher(unsigned capacity);
  Flusher(const Flusher&) = delete;
  Flusher& operator=(const Flusher&) = delete;
  // Waits for every outstanding flush: no request outlives the descriptors it names.
  ~Flusher();

  unsigned capacity() const { return capacity_; }
  unsigned outstanding() const { return outstanding_; }
  bool asynchronous() const { return ring_ != nullptr; }

  // Requests the flush of fd's data and metadata, tagged with token. outstanding() must be below capacity();
  // fd must stay open until the flush has been reaped. in_memory: fd's file system keeps its files in memory
  // only (tmpfs, ramfs), where a flush does nothing and always succeeds: it is ended here without a call.
  void submit(int fd, uint64_t token, bool in_memory = false);

  struct Done {
    uint64_t token = 0;
    Status result;
  };
  // One finished flush, waiting for one when wait is set; nothing when none is outstanding, or when none has
  // finished yet and wait is not set.
  std::optional<Done> reap(bool wait);

 private:
  struct Ring;
  // Made at the first request, so that a run that flushes nothing sets up nothing.
  void start_ring();
  void flush_now(int fd, uint64_t token);

  unsigned capacity_;
  unsigned outstanding_ = 0;
  bool tried_ring_ = false;
  std::unique_ptr<Ring> ring_;  // absent: flushes are made synchronously
  std::deque<Done> finished_;   // synchronous results, not yet reaped
};

}  // namespace ixo::platform
