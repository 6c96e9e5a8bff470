#include "platform/staging_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "platform/dir_entries.h"
#include "platform/fs.h"
#include "platform/faults.h"

namespace ixo::platform {

namespace {

Result<File> open_at(int dirfd, const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(dirfd, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(Error::last_os());
  return File(fd);
}

// "/proc/self/fd/{fd}": the open file itself, which linkat with AT_SYMLINK_FOLLOW can name.
struct ProcPath {
  char text[32] = "/proc/self/fd/";
  explicit ProcPath(int fd) {
    char* end = text + sizeof("/proc/self/fd/") - 1;
    *std::to_chars(end, text + sizeof text - 1, fd).ptr = '\0';
  }
};

// Whether /proc names this open file: without a privilege that is the only way to link an unnamed file.
bool proc_names(const File& file) {
  struct stat own, named;
  if (::fstat(file.fd(), &own) != 0) return false;
  if (::stat(ProcPath(file.fd()).text, &named) != 0) return false;
  return own.st_dev == named.st_dev && own.st_ino == named.st_ino;
}

Status link_retrying(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
  while (::linkat(olddirfd, oldpath, newdirfd, newpath, flags) != 0) {
    if (errno != EINTR) return fail(Error::last_os());
  }
  return {};
}

}  // namespace

Result<StagingFile> StagingFile::create(std::filesystem::path path) {
  Result<File> file = File::create_new(path);
  if (!file) return fail(file.error());
  return StagingFile(std::move(path), nullptr, {}, std::move(*file));
}

Result<StagingFile> StagingFile::create_at(std::shared_ptr<const File> dir, std::string name) {
  if (Status ok = check_no_nul(name); !ok) return fail(ok.error());
  // O_EXCL also refuses a symbolic link standing there, dangling or not.
  Result<File> file = open_at(dir->fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (!file) return fail(file.error());
  return StagingFile({}, std::move(dir), std::move(name), std::move(*file));
}

Result<StagingFile> StagingFile::create_unnamed(std::shared_ptr<const File> dir, UnnamedLinks& links) {
  if (links.refused || (links.checked_proc && !links.proc_usable)) return fail(Error::os(EOPNOTSUPP));
  const int injected = faults::injected(faults::Call::Unnamed);
  Result<File> file = injected != 0 ? fail(Error::os(injected)) : open_at(dir->fd(), ".", O_TMPFILE | O_WRONLY, 0666);
  if (!file) {
    // Not supported here (a kernel without O_TMPFILE opens the folder itself and says EISDIR): not tried again.
    const std::optional<int> os = file.error().os_error();
    if (os == EOPNOTSUPP || os == EISDIR) links.refused = true;
    return fail(file.error());
  }
  if (!links.checked_proc) {
    links.checked_proc = true;
    links.proc_usable = proc_names(*file);
    if (!links.proc_usable) return fail(Error::os(EOPNOTSUPP));
  }
  return StagingFile({}, std::move(dir), {}, std::move(*file));
}

StagingFile::~StagingFile() {
  if (!owned_) return;  // moved from
  if (unnamed()) return;  // file_ closes itself, and with it goes everything of an unlinked file
  if (file_.is_open()) {
    (void)flush_buffer();
    (void)file_.close();
  }
  if (dir_)
    (void)remove_at(*dir_, name_);
  else
    (void)remove_file(path_);
}

namespace {
constexpr uint64_t WRITEBACK_STEP = 4 << 20;
}

void StagingFile::written(size_t count) {
  size_ += count;
  if (size_ - writeback_from_ < WRITEBACK_STEP) return;
  file_.start_writeback(writeback_from_, size_ - writeback_from_);
  writeback_from_ = size_;
}

Status StagingFile::flush_buffer() {
  if (buffer_.empty()) return {};
  Status ok = file_.write_all(buffer_);
  if (ok) written(buffer_.size());
  buffer_.clear();
  return ok;
}

Status StagingFile::write(std::span<const uint8_t> data) {
  if (!file_.is_open()) return fail(Error::message(ErrorKind::Other, "staging file is already closed"));
  if (buffer_.size() + data.size() > BUFFER) return write_through(data);
  if (buffer_.capacity() == 0) buffer_.reserve(BUFFER);  // a file written in one piece never needs one
  buffer_.insert(buffer_.end(), data.begin(), data.end());
  return {};
}

Status StagingFile::write_through(std::span<const uint8_t> data) {
  if (!file_.is_open()) return fail(Error::message(ErrorKind::Other, "staging file is already closed"));
  if (const int injected = faults::injected(faults::Call::Write); injected != 0) return fail(Error::os(injected));
  Status ok = file_.write_all(buffer_, data);
  if (ok) written(buffer_.size() + data.size());
  buffer_.clear();
  return ok;
}

Status StagingFile::prepare(std::optional<FileTime> modified, std::optional<uint32_t> mode) {
  if (!file_.is_open()) return fail(Error::message(ErrorKind::Other, "staging file is already closed"));
  if (!buffer_.empty()) {
    if (const int injected = faults::injected(faults::Call::Write); injected != 0) return fail(Error::os(injected));
  }
  if (auto ok = flush_buffer(); !ok) return ok;
  buffer_ = {};  // nothing more is written: a file waiting for its flush holds no buffer
  if (modified) {
    if (auto ok = file_.set_modified(*modified); !ok) return ok;
  }
  if (mode) {
    if (auto ok = file_.set_permissions(*mode); !ok) return ok;
  }
  return {};
}

Status StagingFile::finish(std::optional<FileTime> modified, std::optional<uint32_t> mode) {
  if (auto ok = prepare(modified, mode); !ok) return ok;
  if (auto ok = file_.sync_all(); !ok) return ok;
  return file_.close();
}

Status StagingFile::link_as(const std::filesystem::path& final_path) const {
  return hard_link(path_, final_path);
}

Status StagingFile::link_at(std::string_view name, UnnamedLinks& links) {
  if (Status ok = check_no_nul(name); !ok) return ok;
  if (const int injected = faults::injected(faults::Call::Link); injected != 0) return fail(Error::os(injected));
  const std::string target(name);
  if (!unnamed()) {
    if (Status ok = file_.close(); !ok) return ok;
    return link_retrying(dir_->fd(), name_.c_str(), dir_->fd(), target.c_str(), 0);
  }
  if (!links.by_descriptor_refused) {
    Status linked = link_retrying(file_.fd(), "", dir_->fd(), target.c_str(), AT_EMPTY_PATH);
    // Without the privilege the system answers ENOENT (EPERM on some versions): /proc names the file instead.
    const std::optional<int> os = linked ? std::nullopt : linked.error().os_error();
    if (linked || (os != ENOENT && os != EPERM)) {
      if (!linked) return linked;
      return file_.close();
    }
    links.by_descriptor_refused = true;
  }
  if (Status ok = link_retrying(AT_FDCWD, ProcPath(file_.fd()).text, dir_->fd(), target.c_str(), AT_SYMLINK_FOLLOW);
      !ok)
    return ok;
  return file_.close();
}

}  // namespace ixo::platform
