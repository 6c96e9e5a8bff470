// Verified files made on a thread of their own while the run goes on with the next ones: a file's staging file
// is created in its held folder, its bytes written and its time and mode set there, and the made files come back
// in the order they were given, each with its staging file or the error that stopped it. Creating and writing a
// small file costs the system more than everything else the run does for it; on its own thread that work runs
// beside the verifying and linking of the files around it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "error.h"
#include "platform/file_time.h"
#include "platform/staging_file.h"
#include "platform/thread.h"
#include "restore/output_tree.h"
#include "restore/publish.h"

namespace ixo::pack {

class FileMaker {
 public:
  struct Job {
    std::shared_ptr<const HeldFolder> folder;
    std::vector<uint8_t> bytes;  // the whole verified file
    std::optional<platform::FileTime> time;
    std::optional<uint32_t> mode;
  };

  // Makes its staging files with state, which nobody else may use while a job is outstanding; at most capacity
  // jobs are outstanding at once.
  FileMaker(StagingState& state, size_t capacity) : state_(state), capacity_(capacity) {}
  FileMaker(const FileMaker&) = delete;
  FileMaker& operator=(const FileMaker&) = delete;
  // Stops after the job in hand; files made and not taken are removed with their staging files.
  ~FileMaker();

  // Starts the thread: false when the system refuses it or there is no memory for its slots, and the run makes
  // its files itself.
  bool start();
  // Hands over a job; the thread must have started, and fewer than capacity jobs be outstanding. A thread that
  // waits for work is woken once a few jobs are there, or once the caller waits.
  void give(Job job);
  // The oldest job's file once it is made; none when no job is outstanding or it is not made yet.
  std::optional<Result<platform::StagingFile>> take();
  // Waits until at most at_most of the jobs given are still to be made.
  void wait_until(size_t at_most);

  size_t capacity() const { return capacity_; }
  size_t outstanding() const { return given_ - taken_; }
  uint64_t outstanding_bytes() const { return outstanding_bytes_; }

 private:
  void work() noexcept;
  Result<platform::StagingFile> make(const Job& job);

  StagingState& state_;
  const size_t capacity_;
  // Slots for the outstanding jobs, by their number modulo capacity: no allocation while the thread works.
  std::vector<std::optional<Job>> jobs_;
  std::vector<std::optional<Result<platform::StagingFile>>> files_;
  std::vector<uint64_t> sizes_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable made_;
  uint64_t given_ = 0;         // jobs handed over
  uint64_t made_count_ = 0;    // files made, under the mutex
  uint64_t taken_ = 0;         // files taken back
  bool idle_ = false;          // the thread waits for a job
  uint64_t wake_at_made_ = 0;  // the caller waits until this many files are made; 0 when it does not wait
  bool stop_ = false;
  uint64_t outstanding_bytes_ = 0;
  std::optional<platform::Thread> thread_;  // last: joined before the rest goes
};

}  // namespace ixo::pack
