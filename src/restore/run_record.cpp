#include "restore/run_record.h"

#include "util/text.h"

namespace ixo::pack {

RunRecord::RunRecord(std::FILE* diagnostics, Selection files) : diagnostics_(diagnostics), total_(files.size()) {
  for (const format::FileEntry* e : files) {
    if (e->kind == format::HardLink) link_targets_.insert(e->link_target);
  }
}

void RunRecord::print(std::string_view text, bool progress_only) {
  unwritten_ += text;
  if (progress_only && std::chrono::steady_clock::now() - written_at_ < PROGRESS_INTERVAL) return;
  write_out();
}

void RunRecord::write_out() {
  if (unwritten_.empty()) return;
  std::fwrite(unwritten_.data(), 1, unwritten_.size(), diagnostics_);
  std::fflush(diagnostics_);
  unwritten_.clear();
  written_at_ = std::chrono::steady_clock::now();
}

void RunRecord::progress() {
  ++done_;
  print(cat("\r  file ", done_, '/', total_), true);
}

void RunRecord::failed(std::string_view path, const Error& error) {
  ++failures_;
  print(cat("\nFAILED: ", path, ": ", error.to_string(), '\n'));
}

void RunRecord::link_refused(const format::FileEntry& link) {
  ++skipped_symlinks_;
  print(cat("\nnot restored: ", link.path, " -> ", link.link_target, " points outside the output folder\n"));
}

void RunRecord::file_ended(const format::FileEntry& entry, const FileOutcome& outcome) {
  if (const Verified* verified = std::get_if<Verified>(&outcome)) {
    if (is_link_target(entry.path)) restored_.insert_or_assign(entry.path, verified->published);
  } else if (const Failed* failure = std::get_if<Failed>(&outcome)) {
    failed(entry.path, failure->error);
  } else {
    ++failures_;
    print(cat("\nCHECKSUM MISMATCH: ", entry.path, '\n'));
  }
  progress();
}

const std::optional<platform::FileId>* RunRecord::restored(std::string_view path) const {
  const auto found = restored_.find(path);
  return found == restored_.end() ? nullptr : &found->second;
}

}  // namespace ixo::pack
