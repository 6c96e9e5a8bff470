// Regular files on their way out, in file order. On a file system whose syncfs flushes everything and reports
// errors, verified files wait open and unnamed in a group until one flush of the whole file system takes them all
// (made on a thread of its own, while the next group gathers);
// elsewhere the flush of each file stays outstanding while the next files are rebuilt, so that the file system can
// join the flushes into shared journal commits. A file is linked under its final name once its flush and every
// file before it have ended, into a folder that was found still in place for that batch of links, and its outcome
// is recorded as it ends: names, lines and their order are those of files finished one at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "error.h"
#include "format/records.h"
#include "platform/flusher.h"
#include "platform/side_call.h"
#include "platform/staging_file.h"
#include "restore/output_tree.h"
#include "restore/run_record.h"

namespace ixo::pack {

// Whether a file at path must wait for the files in flight at the paths in_flight: one of them goes to the same
// path or to a folder of it, or its name could be one of their staging names.
bool settles_before(const std::unordered_multiset<std::string_view>& in_flight, std::string_view path);

class PublishQueue {
 public:
  // At most capacity files in flight, and at most FLUSHES_IN_FLIGHT flushes of single files. tree: the output
  // tree the files go to (absent in test mode); links: how unnamed files are given their names.
  PublishQueue(RunRecord& record, OutputTree* tree, platform::UnnamedLinks& links, unsigned capacity);
  PublishQueue(const PublishQueue&) = delete;
  PublishQueue& operator=(const PublishQueue&) = delete;
  // Waits for every outstanding flush; whatever was not published is removed with its staging file.
  ~PublishQueue();

  // A verified file whose time and mode are set: its flush is requested, and it is linked at place when its turn
  // comes. May first wait for room, finishing earlier files.
  Status add(const format::FileEntry& entry, platform::StagingFile staging, Place place);
  // A file that ends without anything to link (a failure, or a verified file of test mode); made: the folders
  // made for it.
  Status add_ended(const format::FileEntry& entry, FileOutcome outcome, std::vector<std::string> made = {});
  // The file in hand has met a fatal error: the files before it end first, and the first failure among them, in
  // file order, wins; made: the folders made for the file in hand, removed when an earlier failure wins.
  Status stop_at(Error error, std::vector<std::string> made);

  // Ends what has ended in file order, without waiting. The error is the first failure to flush or link, in
  // file order; the queue is then empty (see drain).
  Status advance();
  // Ends every file. On the first failure to flush or link, in file order, the files after it are removed
  // once every outstanding flush has returned (with the folders made only for them), and that failure is the
  // error.
  Status drain();
  // Whether the files in flight must end before the place of a file at path is judged: one of them goes to
  // the same path or to a folder of it, or its name could be one of their staging names. Files finished one at
  // a time would have been published, and their staging names gone, by then.
  bool must_settle(std::string_view path) const;
  // A flush has failed: no new file may start; drain gives the error.
  bool stopping() const { return stopping_; }

  // Flushes of single files outstanding at once: beyond a few dozen the journal commits gain little more.
  static constexpr unsigned FLUSHES_IN_FLIGHT = 32;

 private:
  struct Outgoing {
    const format::FileEntry* entry = nullptr;
    std::optional<platform::StagingFile> staging{};  // absent: nothing to link
    Place place{};
    FileOutcome outcome{};
    bool flushing = false;
    uint64_t group = 0;              // the group whose flush is its own; 0 for none
    std::optional<Error> failure{};  // of its flush
  };
  // The verified files waiting for one flush of their file system.
  struct Group {
    uint64_t number = 0;
    size_t files = 0;
    uint64_t bytes = 0;
    uint64_t device = 0;
    std::chrono::steady_clock::time_point started{};
  };

  Status room();
  Status room_for_flush();
  bool groups(const Place& place, uint64_t size);
  // Starts the flush of the group's file system, on the side, once the flush of the group before it has ended;
  // the next files gather in a new group meanwhile.
  void flush_group();
  // The group's flush has returned: where it reports an error, each file of the group is flushed alone, in file
  // order, up to the first that fails.
  void group_flushed(Status synced);
  // Marks the file whose flush was reaped.
  void finished(platform::Flusher::Done done);
  Status end_ready(bool wait);
  Status publish(Outgoing& file);
  Status abandon(Error error);

  RunRecord& record_;
  OutputTree* tree_;
  platform::UnnamedLinks& links_;
  unsigned capacity_;
  platform::Flusher flusher_;
  std::deque<Outgoing> files_;  // after flusher_: gone before it, whose destructor waits for the flushes
  std::unordered_multiset<std::string_view> in_flight_{};  // the paths of the files to link
  Group group_{};                   // gathering
  std::optional<Group> syncing_{};  // whose flush is under way on the side
  std::chrono::steady_clock::duration sync_took_{};  // by the last flush of a group, set on the side
  uint64_t groups_started_ = 0;
  platform::SideCall side_;
  bool grouping_ = true;  // until a group's flush takes far longer than its data needs (a busy file system)
  bool looked_at_cache_ = false;  // whether others' unwritten data was looked at, before the first group
  std::vector<std::string> made_in_hand_{};  // the folders made for the file that stopped the run
  uint64_t first_token_ = 0;  // of files_.front()
  uint64_t batch_ = 0;        // of links, counted
  bool stopping_ = false;
};

}  // namespace ixo::pack
