#include "restore/publish_queue.h"

#include "restore/output_path.h"
#include "restore/publish.h"
#include "restore/rebuild_run.h"
#include "util/text.h"

namespace ixo::pack {

PublishQueue::PublishQueue(RebuildRun& run, unsigned capacity)
    : run_(run), capacity_(capacity), flusher_(capacity) {}

PublishQueue::~PublishQueue() {
  // A descriptor is closed only once no flush request names it any more.
  while (std::optional<platform::Flusher::Done> done = flusher_.reap(true)) finished(std::move(*done));
}

void PublishQueue::finished(platform::Flusher::Done done) {
  Outgoing& file = files_[done.token - first_token_];
  file.flushing = false;
  if (!done.result) {
    file.failure = std::move(done.result.error());
    stopping_ = true;
  }
}

Status PublishQueue::add(const format::FileEntry& entry, platform::StagingFile staging, std::string name,
                         std::filesystem::path final_path, bool flush_is_free) {
  while (files_.size() >= capacity_) {
    if (Status ok = end_ready(true); !ok) return ok;
  }
  const int fd = staging.file().fd();
  files_.push_back(Outgoing{.entry = &entry,
                            .staging = std::move(staging),
                            .name = std::move(name),
                            .final_path = std::move(final_path),
                            .flushing = true});
  flusher_.submit(fd, first_token_ + files_.size() - 1, flush_is_free);
  return advance();
}

Status PublishQueue::add_ended(const format::FileEntry& entry, std::string lines, bool restored) {
  while (files_.size() >= capacity_) {
    if (Status ok = end_ready(true); !ok) return ok;
  }
  files_.push_back(Outgoing{.entry = &entry, .lines = std::move(lines), .restored = restored});
  return advance();
}

bool PublishQueue::must_settle(std::string_view path) const {
  if (files_.empty()) return false;
  if (last_piece(path).starts_with(STAGING_PREFIX)) return true;
  for (const Outgoing& file : files_)
    if (file.staging && file.entry->path == path) return true;
  return false;
}

Status PublishQueue::advance() { return end_ready(false); }

Status PublishQueue::drain() {
  while (!files_.empty()) {
    if (Status ok = end_ready(true); !ok) return ok;
  }
  return {};
}

// Ends the files at the front that can end: all of them that are ready when wait is clear; when it is set, at
// least the first one, waiting for its flush. Their lines go out in one piece.
Status PublishQueue::end_ready(bool wait) {
  while (std::optional<platform::Flusher::Done> done = flusher_.reap(false)) finished(std::move(*done));
  std::string text;
  Status result;
  bool waited = false;
  bool lines = false;  // besides progress
  while (!files_.empty()) {
    Outgoing& file = files_.front();
    while (file.flushing && wait && !waited) {
      std::optional<platform::Flusher::Done> done = flusher_.reap(true);
      if (!done) {
        // Cannot happen while a flush is outstanding; were it lost, waiting would never end.
        file.flushing = false;
        file.failure = Error::message(ErrorKind::Other, "a flush request was lost");
        break;
      }
      finished(std::move(*done));
    }
    if (file.flushing) break;
    if (file.failure) {
      result = fail(std::move(*file.failure));
      break;
    }
    if (file.staging) {
      if (Status linked = file.staging->link_at(file.name, run_.staging.unnamed); !linked) {
        result = linked;
        break;
      }
      if (run_.is_link_target(file.entry->path))
        run_.restored.insert_or_assign(file.entry->path, std::move(file.final_path));
    } else if (file.restored) {
      if (run_.is_link_target(file.entry->path)) run_.restored.insert_or_assign(file.entry->path, std::nullopt);
    } else if (!file.lines.empty()) {
      ++run_.failures;
    }
    lines = lines || !file.lines.empty();
    text += file.lines;
    ++run_.done;
    text += cat("\r  file ", run_.done, '/', run_.total);
    files_.pop_front();
    ++first_token_;
    waited = true;
  }
  if (!text.empty()) run_.print(text, !lines);
  if (!result) return abandon(std::move(result.error()));
  return {};
}

// The file at the front failed for good: the files after it are removed once their flushes have returned.
Status PublishQueue::abandon(Error error) {
  stopping_ = true;
  while (std::optional<platform::Flusher::Done> done = flusher_.reap(true)) finished(std::move(*done));
  first_token_ += files_.size();
  files_.clear();
  return fail(std::move(error));
}

}  // namespace ixo::pack
