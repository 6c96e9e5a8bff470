#include "restore/outgoing_files.h"

#include <algorithm>
#include <limits>
#include <new>

namespace ixo::pack {

namespace {

// Larger files cost their writing more than their creation: they are made in hand.
constexpr uint64_t MAKE_AT_MOST = 1 << 20;
// Files and bytes being made at once: enough to keep the maker busy while a group is flushed or a batch linked.
constexpr size_t MAKING_FILES = 256;
constexpr uint64_t MAKING_BYTES = 16 << 20;
// Below this many files in flight the descriptors are too few to share: every file is made in hand.
constexpr unsigned FEWEST_TO_SHARE = 16;
// Small files in a row before the maker takes them: as many as wake it at once.
constexpr unsigned SMALL_IN_A_ROW = 8;

size_t making_capacity(unsigned files_in_flight) {
  return files_in_flight < FEWEST_TO_SHARE ? 0 : std::min<size_t>(MAKING_FILES, files_in_flight / 4);
}

}  // namespace

OutgoingFiles::OutgoingFiles(RunRecord& record, OutputTree* tree, StagingState& staging, unsigned files_in_flight)
    : tree_(tree),
      queue_(record, tree, staging.unnamed,
             static_cast<unsigned>(files_in_flight - (tree ? making_capacity(files_in_flight) : 0))),
      maker_(staging, tree ? making_capacity(files_in_flight) : 0) {}

bool OutgoingFiles::can_make(uint64_t size) {
  if (size > MAKE_AT_MOST) {
    in_hand();
    return false;
  }
  if (maker_refused_ || maker_.capacity() == 0) return false;
  if (small_in_a_row_ < SMALL_IN_A_ROW) ++small_in_a_row_;
  if (small_in_a_row_ < SMALL_IN_A_ROW) return false;
  if (!maker_started_) {
    maker_started_ = maker_.start();
    maker_refused_ = !maker_started_;
  }
  return maker_started_;
}

Status OutgoingFiles::make(const format::FileEntry& entry, Place place, FileMaker::Job job) {
  size_t keep = std::numeric_limits<size_t>::max();
  if (making_.size() >= maker_.capacity() || maker_.outstanding_bytes() + job.bytes.size() > MAKING_BYTES)
    keep = making_.size() / 2;
  if (Status ok = forward(keep, &place.made); !ok) return ok;
  try {
    making_.push_back(Making{&entry, std::move(place)});
    paths_.insert(entry.path);
  } catch (const std::bad_alloc&) {
    if (!making_.empty() && making_.back().entry == &entry) making_.pop_back();
    return fail(Error::bare(ErrorKind::OutOfMemory));
  }
  maker_.give(std::move(job));
  return {};
}

Status OutgoingFiles::settle() { return forward(0); }

Status OutgoingFiles::add(const format::FileEntry& entry, platform::StagingFile staging, Place place) {
  if (Status ok = forward(0, &place.made); !ok) return ok;
  return queue_.add(entry, std::move(staging), std::move(place));
}

Status OutgoingFiles::add_ended(const format::FileEntry& entry, FileOutcome outcome, std::vector<std::string> made) {
  if (Status ok = forward(0, &made); !ok) return ok;
  return queue_.add_ended(entry, std::move(outcome), std::move(made));
}

Status OutgoingFiles::stop_at(Error error, std::vector<std::string> made) {
  if (Status ok = forward(0, &made); !ok) return ok;
  return queue_.stop_at(std::move(error), std::move(made));
}

Status OutgoingFiles::drain() {
  if (Status ok = forward(0); !ok) return ok;
  return queue_.drain();
}

bool OutgoingFiles::must_settle(std::string_view path) const {
  return settles_before(paths_, path) || queue_.must_settle(path);
}

Status OutgoingFiles::forward(size_t keep, const std::vector<std::string>* in_hand) {
  if (making_.size() > keep) maker_.wait_until(keep);
  while (!making_.empty()) {
    std::optional<Result<platform::StagingFile>> made = maker_.take();
    if (!made) break;
    Making& front = making_.front();
    paths_.erase(paths_.find(front.entry->path));
    if (!*made) return failed_at_front(std::move(made->error()), in_hand);
    if (Status ok = queue_.add(*front.entry, std::move(**made), std::move(front.place)); !ok)
      return failed_at_front(std::move(ok.error()), in_hand);
    making_.pop_front();
  }
  return {};
}

Status OutgoingFiles::failed_at_front(Error error, const std::vector<std::string>* in_hand) {
  // The files still being made are closed first: a folder holding a named staging file is not empty.
  maker_.wait_until(0);
  while (maker_.take()) {
  }
  if (tree_ != nullptr) {
    if (in_hand != nullptr) tree_->remove_if_empty(*in_hand);
    for (size_t i = making_.size(); i-- > 1;) tree_->remove_if_empty(making_[i].place.made);
  }
  std::vector<std::string> front_made = std::move(making_.front().place.made);
  making_.clear();
  paths_.clear();
  return queue_.stop_at(std::move(error), std::move(front_made));
}

}  // namespace ixo::pack
