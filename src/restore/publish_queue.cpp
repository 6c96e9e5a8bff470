#include "restore/publish_queue.h"

#include <cerrno>

#include "restore/output_path.h"
#include "restore/publish.h"

namespace ixo::pack {

PublishQueue::PublishQueue(RunRecord& record, OutputTree* tree, platform::UnnamedLinks& links, unsigned capacity)
    : record_(record), tree_(tree), links_(links), capacity_(capacity), flusher_(capacity) {}

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

Status PublishQueue::room() {
  while (files_.size() >= capacity_) {
    if (Status ok = end_ready(true); !ok) return ok;
  }
  return {};
}

Status PublishQueue::add(const format::FileEntry& entry, platform::StagingFile staging, Place place) {
  if (Status ok = room(); !ok) return ok;
  const int fd = staging.file().fd();
  const bool in_memory = place.parent->flush_is_free;
  in_flight_.insert(entry.path);
  files_.push_back(Outgoing{.entry = &entry, .staging = std::move(staging), .place = std::move(place),
                            .outcome = Verified{}, .flushing = true});
  flusher_.submit(fd, first_token_ + files_.size() - 1, in_memory);
  return advance();
}

Status PublishQueue::add_ended(const format::FileEntry& entry, FileOutcome outcome, std::vector<std::string> made) {
  if (Status ok = room(); !ok) return ok;
  files_.push_back(Outgoing{.entry = &entry, .place = Place{.made = std::move(made)}, .outcome = std::move(outcome)});
  return advance();
}

Status PublishQueue::stop_at(Error error, std::vector<std::string> made) {
  made_in_hand_ = std::move(made);
  if (Status ok = drain(); !ok) return ok;
  made_in_hand_.clear();
  return fail(std::move(error));
}

bool PublishQueue::must_settle(std::string_view path) const {
  if (in_flight_.empty()) return false;
  if (last_piece(path).starts_with(STAGING_PREFIX)) return true;
  if (in_flight_.contains(path)) return true;
  // A file in flight where a folder of path goes: as a file it is published first, and the folder refused.
  for (size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1)) {
    if (in_flight_.contains(path.substr(0, slash))) return true;
  }
  return false;
}

Status PublishQueue::advance() { return end_ready(false); }

Status PublishQueue::drain() {
  while (!files_.empty()) {
    if (Status ok = end_ready(true); !ok) return ok;
  }
  return {};
}

Status PublishQueue::publish(Outgoing& file) {
  const HeldFolder& parent = *file.place.parent;
  if (tree_ != nullptr && parent.checked_in != batch_) {
    if (Status ok = tree_->check_in_place(parent); !ok) return ok;
    parent.checked_in = batch_;
  }
  std::optional<platform::FileId> id;
  if (record_.is_link_target(file.entry->path)) {
    Result<platform::Metadata> m = platform::metadata_of(file.staging->file());
    if (!m) return fail(m.error());
    id = platform::id_of(*m);
  }
  if (Status linked = file.staging->link_at(file.place.name, links_); !linked) {
    // Something appeared at the name since it was found free.
    if (linked.error().os_error() == EEXIST) return fail(Error::message(ErrorKind::AlreadyExists, "output already exists"));
    return linked;
  }
  file.outcome = Verified{id};
  return {};
}

// Ends the files at the front that can end: all of them that are ready when wait is clear; when it is set, at
// least the first one, waiting for its flush.
Status PublishQueue::end_ready(bool wait) {
  while (std::optional<platform::Flusher::Done> done = flusher_.reap(false)) finished(std::move(*done));
  ++batch_;
  bool waited = false;
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
    if (file.failure) return abandon(std::move(*file.failure));
    if (file.staging) {
      if (Status ok = publish(file); !ok) return abandon(std::move(ok.error()));
      in_flight_.erase(in_flight_.find(file.entry->path));
    }
    record_.file_ended(*file.entry, file.outcome);
    files_.pop_front();
    ++first_token_;
    waited = true;
  }
  return {};
}

// The file at the front failed for good: the files after it are removed once their flushes have returned, and
// so are the folders made only for them.
Status PublishQueue::abandon(Error error) {
  stopping_ = true;
  while (std::optional<platform::Flusher::Done> done = flusher_.reap(true)) finished(std::move(*done));
  if (tree_ != nullptr) {
    // Latest first: a folder made for a later file may lie inside one made for an earlier.
    tree_->remove_if_empty(made_in_hand_);
    for (size_t i = files_.size(); i-- > 1;) {
      files_[i].staging.reset();
      tree_->remove_if_empty(files_[i].place.made);
    }
  }
  first_token_ += files_.size();
  files_.clear();
  in_flight_.clear();
  return fail(std::move(error));
}

}  // namespace ixo::pack
