// What a rebuild run tells and keeps: its counters, the lines it prints, and the regular files that passed their
// checks. How a regular file ended is a value (FileOutcome) that this one place formats, counts and records.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>

#include "error.h"
#include "format/records.h"
#include "pipeline/read_plan.h"
#include "platform/fs.h"

namespace ixo::pack {

// The file's bytes matched: published under its name in an extraction (as the file named by published), only
// tested otherwise.
struct Verified {
  std::optional<platform::FileId> published{};
};
// Its stored form could not be turned back: "FAILED: {path}: {error}".
struct Failed {
  Error error;
};
// Its length or digest did not match: "CHECKSUM MISMATCH: {path}".
struct Mismatch {};

using FileOutcome = std::variant<Verified, Failed, Mismatch>;

class RunRecord {
 public:
  RunRecord(std::FILE* diagnostics, Selection files);
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;
  // Whatever is left goes out before the run's result is seen.
  ~RunRecord() { write_out(); }

  uint64_t failures() const { return failures_; }
  uint64_t skipped_symlinks() const { return skipped_symlinks_; }

  // A regular file has ended: its line (none when verified), counted as a failure unless verified, entered in
  // restored when a hard link names it, then its progress line.
  void file_ended(const format::FileEntry& entry, const FileOutcome& outcome);
  // An entry of the later passes has failed: "\nFAILED: {path}: {error}\n", counted.
  void failed(std::string_view path, const Error& error);
  // "\nnot restored: {path} -> {target} points outside the output folder\n", counted apart.
  void link_refused(const format::FileEntry& link);
  // "\r  file {done}/{total}" after one more entry.
  void progress();
  // Writes text to the diagnostics stream as one piece, after what is still unwritten; progress alone may wait.
  void print(std::string_view text, bool progress_only = false);
  void write_out();

  bool is_link_target(std::string_view path) const { return link_targets_.contains(path); }
  // The regular file at path that passed its checks (nullptr when none did): the file published under that
  // name, or, in test mode, nothing.
  const std::optional<platform::FileId>* restored(std::string_view path) const;

  static constexpr std::chrono::milliseconds PROGRESS_INTERVAL{50};

 private:
  std::FILE* diagnostics_;
  uint64_t total_ = 0;
  uint64_t done_ = 0;
  uint64_t failures_ = 0;
  uint64_t skipped_symlinks_ = 0;
  // Only the targets of the selection's hard links are entered: nothing else looks a file up.
  std::unordered_set<std::string_view> link_targets_{};
  std::map<std::string, std::optional<platform::FileId>, std::less<>> restored_{};
  // Text not yet written: progress lines alone go out at most every PROGRESS_INTERVAL, anything else at once,
  // so that the stream holds the same bytes in fewer writes.
  std::string unwritten_{};
  std::chrono::steady_clock::time_point written_at_{};
};

}  // namespace ixo::pack
