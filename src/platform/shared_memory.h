// Memory shared with a child process: an anonymous in-memory file, mapped. Its pages are made as they are
// touched, so a mapping as large as a file may become costs only what is written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "error.h"

namespace ixo::platform {

class SharedMemory {
 public:
  // A new region of size bytes, reading as zeros.
  static Result<SharedMemory> create(size_t size);
  // The first size bytes of a region that another process made (fd is borrowed, not owned).
  static Result<SharedMemory> map(int fd, size_t size, bool writable);

  SharedMemory() = default;
  SharedMemory(SharedMemory&& other) noexcept { *this = std::move(other); }
  SharedMemory& operator=(SharedMemory&& other) noexcept;
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  ~SharedMemory() { release(); }

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  int fd() const { return fd_; }

 private:
  void release();

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  int fd_ = -1;  // owned, or -1
};

}  // namespace ixo::platform
