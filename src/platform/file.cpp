#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ixo::platform {

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Status check_no_nul(std::string_view path) {
  if (path.find('\0') != std::string_view::npos)
    return fail(Error::message(ErrorKind::InvalidInput, "file name contained an unexpected NUL byte"));
  return {};
}

Result<File> File::open_read(const std::filesystem::path& path) {
  if (auto ok = check_no_nul(path.native()); !ok) return fail(ok.error());
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(Error::last_os());
  return File(fd);
}

Result<uint64_t> File::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return fail(Error::last_os());
  return static_cast<uint64_t>(st.st_size);
}

Status File::read_exact_at(uint64_t pos, std::span<uint8_t> out) const {
  constexpr size_t MAX_CALL = 0x7FFFFFFF;
  size_t done = 0;
  while (done < out.size()) {
    const size_t want = std::min(out.size() - done, MAX_CALL);
    const ssize_t n = ::pread(fd_, out.data() + done, want, static_cast<off_t>(pos + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os());
    }
    if (n == 0) return fail(Error::unexpected_eof());
    done += static_cast<size_t>(n);
  }
  return {};
}

Status File::write_all(std::span<const uint8_t> data) const {
  constexpr size_t MAX_CALL = 0x7FFFFFFF;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + done, std::min(data.size() - done, MAX_CALL));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os());
    }
    if (n == 0) return fail(Error::message(ErrorKind::WriteZero, "failed to write whole buffer"));
    done += static_cast<size_t>(n);
  }
  return {};
}

Status File::write_all(std::span<const uint8_t> first, std::span<const uint8_t> second) const {
  constexpr size_t MAX_CALL = 0x7FFFFFFF;
  if (first.empty() || second.empty() || first.size() > MAX_CALL - second.size()) {
    if (Status ok = write_all(first); !ok) return ok;
    return write_all(second);
  }
  size_t done = 0;
  while (done < first.size()) {
    const iovec pieces[2] = {{const_cast<uint8_t*>(first.data()) + done, first.size() - done},
                             {const_cast<uint8_t*>(second.data()), second.size()}};
    const ssize_t n = ::writev(fd_, pieces, 2);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os());
    }
    if (n == 0) return fail(Error::message(ErrorKind::WriteZero, "failed to write whole buffer"));
    done += static_cast<size_t>(n);
  }
  // A short write may have stopped anywhere: the rest of second goes by itself.
  return write_all(second.subspan(done - first.size()));
}

Status File::close() {
  if (fd_ < 0) return {};
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) return fail(Error::last_os());
  return {};
}

}  // namespace ixo::platform
