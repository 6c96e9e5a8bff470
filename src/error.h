// The error value every fallible operation returns: a kind with a message, an OS error number, or a bare kind.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ixo {

enum class ErrorKind : uint8_t {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  StorageFull,
  FileTooLarge,
  InvalidInput,
  InvalidData,
  TimedOut,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  InvalidFilename,
  ArgumentListTooLong,
  CrossesDevices,
  TooManyLinks,
  WriteZero,
  ResourceBusy,
  QuotaExceeded,
  FilesystemLoop,
  BrokenPipe,
  NotSeekable,
  StaleNetworkFileHandle,
  ExecutableFileBusy,
  Deadlock,
  InProgress,
  Other,
  Uncategorized,
};

// The standard description of a kind, as a bare kind prints ("out of memory").
std::string_view describe(ErrorKind kind);

// The standard classification of an OS error number (ENOENT is NotFound, ENOSYS Unsupported, ...).
ErrorKind kind_of_errno(int errnum);

class Error {
 public:
  static Error message(ErrorKind kind, std::string text) { return Error(kind, std::move(text), 0, Form::Message); }
  static Error os(int errnum) { return Error(kind_of_errno(errnum), {}, errnum, Form::Os); }
  static Error last_os();  // from errno
  static Error bare(ErrorKind kind) { return Error(kind, {}, 0, Form::Bare); }
  static Error unexpected_eof() { return message(ErrorKind::UnexpectedEof, "failed to fill whole buffer"); }

  ErrorKind kind() const { return kind_; }
  std::optional<int> os_error() const { return form_ == Form::Os ? std::optional<int>(errno_) : std::nullopt; }
  // The text as printed after "error: ".
  std::string to_string() const;

 private:
  enum class Form : uint8_t { Message, Os, Bare };
  Error(ErrorKind kind, std::string text, int errnum, Form form)
      : text_(std::move(text)), errno_(errnum), kind_(kind), form_(form) {}

  std::string text_;
  int errno_;
  ErrorKind kind_;
  Form form_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

}  // namespace ixo
