#include "error.h"

#include <cerrno>
#include <cstring>

namespace ixo {

std::string_view describe(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotFound: return "entity not found";
    case ErrorKind::PermissionDenied: return "permission denied";
    case ErrorKind::AlreadyExists: return "entity already exists";
    case ErrorKind::WouldBlock: return "operation would block";
    case ErrorKind::NotADirectory: return "not a directory";
    case ErrorKind::IsADirectory: return "is a directory";
    case ErrorKind::DirectoryNotEmpty: return "directory not empty";
    case ErrorKind::ReadOnlyFilesystem: return "read-only filesystem or storage medium";
    case ErrorKind::StorageFull: return "no storage space";
    case ErrorKind::FileTooLarge: return "file too large";
    case ErrorKind::InvalidInput: return "invalid input parameter";
    case ErrorKind::InvalidData: return "invalid data";
    case ErrorKind::TimedOut: return "timed out";
    case ErrorKind::Interrupted: return "operation interrupted";
    case ErrorKind::Unsupported: return "unsupported";
    case ErrorKind::UnexpectedEof: return "unexpected end of file";
    case ErrorKind::OutOfMemory: return "out of memory";
    case ErrorKind::InvalidFilename: return "invalid filename";
    case ErrorKind::ArgumentListTooLong: return "argument list too long";
    case ErrorKind::CrossesDevices: return "cross-device link or rename";
    case ErrorKind::TooManyLinks: return "too many links";
    case ErrorKind::WriteZero: return "write zero";
    case ErrorKind::ResourceBusy: return "resource busy";
    case ErrorKind::QuotaExceeded: return "quota exceeded";
    case ErrorKind::FilesystemLoop: return "filesystem loop or indirection limit (e.g. symlink loop)";
    case ErrorKind::BrokenPipe: return "broken pipe";
    case ErrorKind::NotSeekable: return "seek on unseekable file";
    case ErrorKind::StaleNetworkFileHandle: return "stale network file handle";
    case ErrorKind::ExecutableFileBusy: return "executable file busy";
    case ErrorKind::Deadlock: return "deadlock";
    case ErrorKind::InProgress: return "in progress";
    case ErrorKind::Other: return "other error";
    case ErrorKind::Uncategorized: return "uncategorized error";
  }
  return "other error";
}

ErrorKind kind_of_errno(int errnum) {
  switch (errnum) {
    case E2BIG: return ErrorKind::ArgumentListTooLong;
    case EEXIST: return ErrorKind::AlreadyExists;
    case EFBIG: return ErrorKind::FileTooLarge;
    case EINTR: return ErrorKind::Interrupted;
    case EINVAL: return ErrorKind::InvalidInput;
    case EISDIR: return ErrorKind::IsADirectory;
    case EMLINK: return ErrorKind::TooManyLinks;
    case ENAMETOOLONG: return ErrorKind::InvalidFilename;
    case ENOENT: return ErrorKind::NotFound;
    case ENOMEM: return ErrorKind::OutOfMemory;
    case ENOSPC: return ErrorKind::StorageFull;
    case ENOSYS: return ErrorKind::Unsupported;
    case ENOTDIR: return ErrorKind::NotADirectory;
    case ENOTEMPTY: return ErrorKind::DirectoryNotEmpty;
    case EROFS: return ErrorKind::ReadOnlyFilesystem;
    case ETIMEDOUT: return ErrorKind::TimedOut;
    case EXDEV: return ErrorKind::CrossesDevices;
    case EACCES:
    case EPERM: return ErrorKind::PermissionDenied;
    case EOPNOTSUPP: return ErrorKind::Unsupported;
    case EAGAIN: return ErrorKind::WouldBlock;
    case EBUSY: return ErrorKind::ResourceBusy;
    case EDQUOT: return ErrorKind::QuotaExceeded;
    case ELOOP: return ErrorKind::FilesystemLoop;
    case EPIPE: return ErrorKind::BrokenPipe;
    case ESPIPE: return ErrorKind::NotSeekable;
    case ESTALE: return ErrorKind::StaleNetworkFileHandle;
    case ETXTBSY: return ErrorKind::ExecutableFileBusy;
    case EDEADLK: return ErrorKind::Deadlock;
    case EINPROGRESS: return ErrorKind::InProgress;
    default: return ErrorKind::Uncategorized;
  }
}

Error Error::last_os() { return os(errno); }

std::string Error::to_string() const {
  switch (form_) {
    case Form::Message: return text_;
    case Form::Bare: return std::string(describe(kind_));
    case Form::Os: {
      char buf[256];
      // GNU strerror_r may return a static string rather than fill buf.
      const char* text = strerror_r(errno_, buf, sizeof buf);
      return std::string(text) + " (os error " + std::to_string(errno_) + ")";
    }
  }
  return text_;
}

}  // namespace ixo
