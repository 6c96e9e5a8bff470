#include "restore/publish_queue.h"

#include <algorithm>
#include <cerrno>

#include "platform/faults.h"
#include "platform/memory_state.h"
#include "restore/output_path.h"
#include "restore/publish.h"

namespace ixo::pack {

namespace {

// A group is flushed once it holds this many files or bytes, or its first file has waited this long; a file
// larger than LARGE_FILE takes a flush of its own.
constexpr size_t GROUP_FILES = 1024;
constexpr uint64_t GROUP_BYTES = 64 << 20;
constexpr std::chrono::milliseconds GROUP_AGE{100};
constexpr uint64_t LARGE_FILE = 16 << 20;
// Files on a file system held in memory linked together.
constexpr size_t FREE_LINKS_AT_ONCE = 32;
// What a group's flush may take before the file system is judged busy with others' data, which syncfs waits for
// as well: a fixed part and the time the group's own bytes need at a slow disk's pace.
constexpr std::chrono::milliseconds BUSY_BASE{250};
constexpr uint64_t BUSY_BYTES_PER_SECOND = 32 << 20;
// Data of others waiting for the disk when the first group starts, past which the disk is judged busy.
constexpr uint64_t BUSY_UNWRITTEN = 1ull << 30;

// One file flushed by itself, as the flusher would.
Status flush_alone(const platform::StagingFile& staging) {
  if (const int injected = platform::faults::injected(platform::faults::Call::Flush); injected != 0)
    return fail(Error::os(injected));
  return staging.file().sync_all();
}

}  // namespace

PublishQueue::PublishQueue(RunRecord& record, OutputTree* tree, platform::UnnamedLinks& links, unsigned capacity)
    : record_(record),
      tree_(tree),
      links_(links),
      capacity_(std::max(capacity, 1u)),
      flusher_(std::min(capacity_, FLUSHES_IN_FLIGHT)) {}

PublishQueue::~PublishQueue() {
  // A descriptor is closed only once no flush request names it any more.
  if (side_.outstanding()) (void)side_.wait();
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

Status PublishQueue::room_for_flush() {
  while (flusher_.outstanding() >= flusher_.capacity()) {
    if (Status ok = end_ready(true); !ok) return ok;
  }
  return {};
}

bool PublishQueue::groups(const Place& place, uint64_t size) {
  if (!grouping_ || place.parent->flush != platform::FlushWay::Group || size > LARGE_FILE) return false;
  // syncfs would wait for what others have yet to write: with much of it about, each file is flushed alone.
  if (!looked_at_cache_) {
    looked_at_cache_ = true;
    if (platform::unwritten_file_bytes() > BUSY_UNWRITTEN) grouping_ = false;
  }
  return grouping_;
}

Status PublishQueue::add(const format::FileEntry& entry, platform::StagingFile staging, Place place) {
  if (Status ok = room(); !ok) return ok;
  const uint64_t size = staging.size();
  const bool grouped = groups(place, size);
  if (!grouped) {
    if (Status ok = room_for_flush(); !ok) return ok;
  } else if (group_.files > 0 && group_.device != place.parent->id.device) {
    flush_group();  // one file system a group
  }
  const int fd = staging.file().fd();
  const platform::FlushWay way = place.parent->flush;
  const uint64_t device = place.parent->id.device;
  in_flight_.insert(entry.path);
  files_.push_back(Outgoing{.entry = &entry, .staging = std::move(staging), .place = std::move(place),
                            .outcome = Verified{}, .flushing = true});
  if (grouped) {
    if (group_.files++ == 0) group_ = {++groups_started_, 1, 0, device, std::chrono::steady_clock::now()};
    files_.back().group = group_.number;
    group_.bytes += size;
    // Half the files in flight at most, so that the next group can gather while this one is flushed.
    if (group_.files >= std::min<size_t>(GROUP_FILES, std::max(capacity_ / 2, 1u)) || group_.bytes >= GROUP_BYTES ||
        std::chrono::steady_clock::now() - group_.started >= GROUP_AGE)
      flush_group();
  } else {
    flusher_.submit(fd, first_token_ + files_.size() - 1, way == platform::FlushWay::Free);
    // Held in memory, a file is ready at once: files are linked a batch at a time, so that their folder is
    // checked once for the batch rather than once a file.
    if (way == platform::FlushWay::Free && files_.size() < FREE_LINKS_AT_ONCE) return {};
  }
  return advance();
}

void PublishQueue::flush_group() {
  if (group_.files == 0) return;
  if (syncing_) group_flushed(side_.wait());
  const platform::StagingFile* any = nullptr;
  for (const Outgoing& file : files_) {
    if (file.group == group_.number && file.flushing) {
      any = &*file.staging;
      break;
    }
  }
  syncing_ = std::exchange(group_, Group{});
  if (any == nullptr) {  // nothing of the group is left to flush
    syncing_.reset();
    return;
  }
  // The file stays open until the flush has returned: it is the group's, and the group's files wait for it. The
  // flush times itself, as the run may look for its end only later.
  const platform::File& file = any->file();
  side_.start([&file, &took = sync_took_] {
    const auto started = std::chrono::steady_clock::now();
    Status synced = file.sync_file_system();
    took = std::chrono::steady_clock::now() - started;
    return synced;
  });
}

void PublishQueue::group_flushed(Status synced) {
  const Group group = *syncing_;
  syncing_.reset();
  bool failed = false;
  for (Outgoing& file : files_) {
    if (file.group != group.number || !file.flushing) continue;
    file.flushing = false;
    // The error names no file: each is flushed alone, so that the failure and the files before it are those of
    // one flush per file. Those after the failure are never published.
    if (synced || failed) continue;
    if (Status ok = flush_alone(*file.staging); !ok) {
      file.failure = std::move(ok.error());
      failed = stopping_ = true;
    }
  }
  const auto needs = BUSY_BASE + std::chrono::milliseconds(group.bytes * 1000 / BUSY_BYTES_PER_SECOND);
  if (sync_took_ > needs) grouping_ = false;
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

bool settles_before(const std::unordered_multiset<std::string_view>& in_flight, std::string_view path) {
  if (in_flight.empty()) return false;
  if (last_piece(path).starts_with(STAGING_PREFIX)) return true;
  if (in_flight.contains(path)) return true;
  // A file in flight where a folder of path goes: as a file it is published first, and the folder refused.
  for (size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1)) {
    if (in_flight.contains(path.substr(0, slash))) return true;
  }
  return false;
}

bool PublishQueue::must_settle(std::string_view path) const { return settles_before(in_flight_, path); }

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
  if (std::optional<Status> synced = side_.poll()) group_flushed(std::move(*synced));
  ++batch_;
  bool waited = false;
  while (!files_.empty()) {
    Outgoing& file = files_.front();
    if (file.flushing && file.group != 0 && wait && !waited) {
      if (file.group == group_.number) flush_group();
      if (syncing_ && file.group == syncing_->number) group_flushed(side_.wait());
    }
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
  if (side_.outstanding()) (void)side_.wait();
  syncing_.reset();
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
  group_ = {};
  return fail(std::move(error));
}

}  // namespace ixo::pack
