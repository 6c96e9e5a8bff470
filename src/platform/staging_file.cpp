#include "platform/staging_file.h"

#include "platform/fs.h"

namespace ixo::platform {

Result<StagingFile> StagingFile::create(std::filesystem::path path) {
  Result<File> file = File::create_new(path);
  if (!file) return fail(file.error());
  return StagingFile(std::move(path), std::move(*file));
}

StagingFile::~StagingFile() {
  if (!owns_name_) return;  // moved from
  if (file_.is_open()) {
    (void)flush_buffer();
    (void)file_.close();
  }
  (void)remove_file(path_);
}

Status StagingFile::flush_buffer() {
  if (buffer_.empty()) return {};
  Status ok = file_.write_all(buffer_);
  buffer_.clear();
  return ok;
}

Status StagingFile::write(std::span<const uint8_t> data) {
  if (!file_.is_open()) return fail(Error::message(ErrorKind::Other, "staging file is already closed"));
  if (buffer_.size() + data.size() > BUFFER) {
    if (auto ok = flush_buffer(); !ok) return ok;
  }
  if (data.size() >= BUFFER) return file_.write_all(data);
  buffer_.insert(buffer_.end(), data.begin(), data.end());
  return {};
}

Status StagingFile::finish(std::optional<FileTime> modified, std::optional<uint32_t> mode) {
  if (!file_.is_open()) return fail(Error::message(ErrorKind::Other, "staging file is already closed"));
  if (auto ok = flush_buffer(); !ok) return ok;
  if (modified) {
    if (auto ok = file_.set_modified(*modified); !ok) return ok;
  }
  if (mode) {
    if (auto ok = file_.set_permissions(*mode); !ok) return ok;
  }
  if (auto ok = file_.sync_all(); !ok) return ok;
  return file_.close();
}

Status StagingFile::link_as(const std::filesystem::path& final_path) const {
  return hard_link(path_, final_path);
}

}  // namespace ixo::platform
