#include "platform/shared_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace ixo::platform {

namespace {

Result<uint8_t*> map_fd(int fd, size_t size, int prot) {
  if (size == 0) return nullptr;
  void* p = ::mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return fail(Error::last_os());
  return static_cast<uint8_t*>(p);
}

}  // namespace

Result<SharedMemory> SharedMemory::create(size_t size) {
  SharedMemory region;
  region.fd_ = ::memfd_create("ixo-shared", MFD_CLOEXEC);
  if (region.fd_ < 0) return fail(Error::last_os());
  int rc;
  do {
    rc = ::ftruncate(region.fd_, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail(Error::last_os());
  Result<uint8_t*> data = map_fd(region.fd_, size, PROT_READ | PROT_WRITE);
  if (!data) return fail(data.error());
  region.data_ = *data;
  region.size_ = size;
  return region;
}

Result<SharedMemory> SharedMemory::map(int fd, size_t size, bool writable) {
  Result<uint8_t*> data = map_fd(fd, size, writable ? PROT_READ | PROT_WRITE : PROT_READ);
  if (!data) return fail(data.error());
  SharedMemory region;
  region.data_ = *data;
  region.size_ = size;
  return region;
}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void SharedMemory::release() {
  if (data_ != nullptr) ::munmap(data_, size_);
  if (fd_ >= 0) ::close(fd_);
  data_ = nullptr;
  size_ = 0;
  fd_ = -1;
}

}  // namespace ixo::platform
