// Regular files on their way out, in file order. The flush of each verified file stays outstanding while the
// next files are rebuilt, so that the file system can join the flushes into shared journal commits. A file is
// linked under its final name once its own flush and every file before it have ended, and its lines (a
// failure line, then its progress line) are printed as it ends: names, lines and their order are those of
// files finished one at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "format/records.h"
#include "platform/flusher.h"
#include "platform/staging_file.h"

namespace ixo::pack {

struct RebuildRun;

class PublishQueue {
 public:
  // At most capacity files in flight.
  PublishQueue(RebuildRun& run, unsigned capacity);
  PublishQueue(const PublishQueue&) = delete;
  PublishQueue& operator=(const PublishQueue&) = delete;
  // Waits for every outstanding flush; whatever was not published is removed with its staging file.
  ~PublishQueue();

  // A verified file whose time and mode are set: its flush is requested, and it is linked as name (in the
  // staging file's folder) when its turn comes. May first wait for room, finishing earlier files.
  // flush_is_free: the file lies on a file system held in memory, where a flush has nothing to do.
  Status add(const format::FileEntry& entry, platform::StagingFile staging, std::string name,
             std::filesystem::path final_path, bool flush_is_free = false);
  // A file that ends without anything to link: lines is its failure line (empty for none); a verified file of
  // test mode is entered as restored.
  Status add_ended(const format::FileEntry& entry, std::string lines, bool restored);

  // Ends what has ended in file order, without waiting. The error is the first failure to flush or link, in
  // file order; the queue is then empty (see drain).
  Status advance();
  // Ends every file. On the first failure to flush or link, in file order, the files after it are removed
  // once every outstanding flush has returned, and that failure is the error.
  Status drain();
  // Whether the files in flight must end before the place of a file at path is judged: one of them goes to
  // the same path, or its name could be one of their staging names. Files finished one at a time would have
  // been published, and their staging names gone, by then.
  bool must_settle(std::string_view path) const;
  // A flush has failed: no new file may start; drain gives the error.
  bool stopping() const { return stopping_; }

 private:
  struct Outgoing {
    const format::FileEntry* entry = nullptr;
    std::optional<platform::StagingFile> staging{};  // absent: nothing to link
    std::string name{};
    std::filesystem::path final_path{};
    std::string lines{};
    bool restored = false;  // to be entered in restored when it ends (test mode)
    bool flushing = false;
    std::optional<Error> failure{};  // of its flush
  };

  // Marks the file whose flush was reaped.
  void finished(platform::Flusher::Done done);
  Status end_ready(bool wait);
  Status abandon(Error error);

  RebuildRun& run_;
  unsigned capacity_;
  platform::Flusher flusher_;
  std::deque<Outgoing> files_;  // after flusher_: gone before it, whose destructor waits for the flushes
  uint64_t first_token_ = 0;    // of files_.front()
  bool stopping_ = false;
};

}  // namespace ixo::pack
