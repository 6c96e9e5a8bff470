#include "restore/file_maker.h"

#include <new>
#include <utility>

namespace ixo::pack {

namespace {
// The thread creates and writes files; it calls nothing deep.
constexpr size_t MAKER_STACK = 256 << 10;
// Jobs that wake a waiting thread: woken for each, it would cost a wake-up a file.
constexpr uint64_t WAKE_AFTER = 8;
}  // namespace

FileMaker::~FileMaker() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_ready_.notify_one();
  thread_.reset();
}

bool FileMaker::start() {
  if (capacity_ == 0) return false;
  try {
    jobs_.resize(capacity_);
    files_.resize(capacity_);
    sizes_.resize(capacity_);
  } catch (const std::bad_alloc&) {
    return false;
  }
  Result<platform::Thread> t = platform::Thread::start(MAKER_STACK, [this]() noexcept { work(); });
  if (!t) return false;
  thread_.emplace(std::move(*t));
  return true;
}

void FileMaker::give(Job job) {
  const size_t slot = given_ % capacity_;
  sizes_[slot] = job.bytes.size();
  outstanding_bytes_ += job.bytes.size();
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    jobs_[slot].emplace(std::move(job));
    ++given_;
    if (idle_ && given_ - made_count_ >= WAKE_AFTER) wake = true, idle_ = false;
  }
  if (wake) work_ready_.notify_one();
}

std::optional<Result<platform::StagingFile>> FileMaker::take() {
  if (given_ == taken_) return std::nullopt;
  const size_t slot = taken_ % capacity_;
  std::unique_lock lock(mutex_);
  if (made_count_ == taken_) return std::nullopt;
  std::optional<Result<platform::StagingFile>> file(std::move(*files_[slot]));
  files_[slot].reset();
  lock.unlock();
  ++taken_;
  outstanding_bytes_ -= sizes_[slot];
  return file;
}

void FileMaker::wait_until(size_t at_most) {
  if (given_ - taken_ <= at_most) return;
  const uint64_t target = given_ - at_most;
  bool wake = false;
  std::unique_lock lock(mutex_);
  if (made_count_ >= target) return;
  if (idle_) wake = true, idle_ = false;
  wake_at_made_ = target;
  if (wake) work_ready_.notify_one();
  made_.wait(lock, [&] { return made_count_ >= target; });
  wake_at_made_ = 0;
}

void FileMaker::work() noexcept {
  std::unique_lock lock(mutex_);
  for (uint64_t next = 0;; ++next) {
    if (next == given_ && !stop_) {
      idle_ = true;
      work_ready_.wait(lock, [&] { return !idle_ || stop_; });
    }
    if (stop_) return;
    const size_t slot = next % capacity_;
    Job job = std::move(*jobs_[slot]);
    jobs_[slot].reset();
    lock.unlock();
    Result<platform::StagingFile> file = make(job);
    job = {};  // its bytes go before the lock is taken again
    lock.lock();
    files_[slot].emplace(std::move(file));
    ++made_count_;
    if (wake_at_made_ != 0 && made_count_ >= wake_at_made_) made_.notify_one();
  }
}

Result<platform::StagingFile> FileMaker::make(const Job& job) {
  try {
    Result<platform::StagingFile> staging = create_staging(job.folder, state_);
    if (!staging) return staging;
    if (Status ok = staging->write_through(job.bytes); !ok) return fail(ok.error());
    if (Status ok = staging->prepare(job.time, job.mode); !ok) return fail(ok.error());
    return staging;
  } catch (const std::bad_alloc&) {
    return fail(Error::bare(ErrorKind::OutOfMemory));
  }
}

}  // namespace ixo::pack
