// The regular files of a run on their way out, in file order: the verified small files still being made on the
// maker's thread, then the publish queue. A file made by the maker joins the queue once it and every file before
// it are made; a file that failed to be made ends the run there as if it had failed in hand, the files before it
// ending first. Files handled in hand (large, transformed, failed or of test mode) wait for every file being
// made, so that the order of files, lines and errors is that of files finished one at a time.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "error.h"
#include "format/records.h"
#include "restore/file_maker.h"
#include "restore/publish_queue.h"

namespace ixo::pack {

class OutgoingFiles {
 public:
  // files_in_flight: what the descriptors allow, shared between the maker and the queue.
  OutgoingFiles(RunRecord& record, OutputTree* tree, StagingState& staging, unsigned files_in_flight);
  OutgoingFiles(const OutgoingFiles&) = delete;
  OutgoingFiles& operator=(const OutgoingFiles&) = delete;

  // Whether a verified file of size bytes is to be made by the maker (whose thread starts with the first): once
  // small files come in a row. A few small files between files handled in hand would only wait for the maker.
  bool can_make(uint64_t size);
  // A file is handled in hand whatever its size: small files are counted afresh.
  void in_hand() { small_in_a_row_ = 0; }
  // A verified file to be made by the maker and published at place. May first wait for room.
  Status make(const format::FileEntry& entry, Place place, FileMaker::Job job);
  // Waits until every file given to the maker is made and queued, so that the staging state is free again.
  Status settle();

  // The publish queue's calls, after every file being made (see publish_queue.h).
  Status add(const format::FileEntry& entry, platform::StagingFile staging, Place place);
  Status add_ended(const format::FileEntry& entry, FileOutcome outcome, std::vector<std::string> made = {});
  Status stop_at(Error error, std::vector<std::string> made);
  Status drain();
  bool must_settle(std::string_view path) const;
  bool stopping() const { return queue_.stopping(); }

 private:
  struct Making {
    const format::FileEntry* entry;
    Place place;
  };
  // Moves the made files at the front to the queue, waiting until at most keep files are still being made.
  // in_hand: the folders made for the file in hand, removed first should a failure end the run.
  Status forward(size_t keep, const std::vector<std::string>* in_hand = nullptr);
  // The file at the front failed to be made, or to join the queue: the files after it go, latest first with
  // the folders made only for them, and the queue ends before it.
  Status failed_at_front(Error error, const std::vector<std::string>* in_hand);

  OutputTree* tree_;
  PublishQueue queue_;
  FileMaker maker_;  // after queue_: stopped before it goes
  std::deque<Making> making_;
  std::unordered_multiset<std::string_view> paths_{};
  unsigned small_in_a_row_ = 0;
  bool maker_started_ = false;
  bool maker_refused_ = false;
};

}  // namespace ixo::pack
