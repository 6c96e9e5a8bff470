#include "cli/listing.h"

#include <string>
#include <string_view>

#include "cli/snapshot_date.h"
#include "util/human.h"
#include "transform/registry.h"
#include "util/text.h"

namespace ixo::cli {
namespace {

// Listings of large snapshots are written in pieces, never built whole in memory.
class TextOut {
 public:
  explicit TextOut(std::FILE* out) : out_(out) {}
  ~TextOut() { flush(); }
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;

  template <class... A>
  void line(const A&... parts) {
    (detail::append(buffer_, parts), ...);
    buffer_.push_back('\n');
    if (buffer_.size() >= FLUSH_AT) flush();
  }

 private:
  static constexpr size_t FLUSH_AT = 1 << 16;
  void flush() {
    std::fwrite(buffer_.data(), 1, buffer_.size(), out_);
    buffer_.clear();
  }
  std::FILE* out_;
  std::string buffer_;
};

// A value padded with blanks to width characters; a longer value is kept whole. Every padded value is ASCII.
std::string right(std::string text, size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}
std::string left(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// A crafted index may repeat a chunk in many entries, or overlap blocks, far past 2^64 bytes in all: such a sum
// stays at the top rather than wrap to a small, plausible figure.
uint64_t add_saturating(uint64_t sum, uint64_t value) {
  return __builtin_add_overflow(sum, value, &sum) ? UINT64_MAX : sum;
}

uint64_t total_size(const format::EntryList& list) {
  uint64_t sum = 0;
  for (const format::FileEntry* entry : list) sum = add_saturating(sum, entry->size);
  return sum;
}

std::string kind_suffix(const format::FileEntry& entry) {
  switch (entry.kind) {
    case format::Directory: return "/";
    case format::Symlink: return cat(" -> ", entry.link_target);
    case format::HardLink: return cat(" => ", entry.link_target);
    default: break;
  }
  if (entry.transform == 0) return {};
  // The index reader admits only ids that have a row.
  const transform::TransformSpec* row = transform::find(entry.transform);
  return row ? cat("  [", row->name, "]") : cat("  [", entry.transform, "]");
}

}  // namespace

void list_archive(const pack::Archive& archive, const format::EntryList& files, std::FILE* out) {
  TextOut text(out);
  for (const format::FileEntry* entry : files) {
    text.line(right(cat(entry->size), 14), "  ", entry->path, kind_suffix(*entry));
  }
  text.line(files.size(), " files, ", pack::human(total_size(files)));

  uint64_t unique = 0;
  for (const format::BlockInfo& block : archive.blocks) unique = add_saturating(unique, block.raw_len);
  text.line("\narchive ", pack::human(archive.len), ": ", pack::human(unique), " unique data in ",
            archive.blocks.size(), " blocks, ", archive.snapshots.size(), " snapshot(s):");

  format::EntryList previous;
  for (size_t i = 0; i < archive.snapshots.size(); ++i) {
    const format::Snapshot& snapshot = archive.snapshots[i];
    format::EntryList list = snapshot.apply(previous);
    text.line("  #", left(cat(i + 1), 4), left(snapshot_date(snapshot.time), 22), right(cat(list.size()), 8),
              " files ", right(pack::human(total_size(list)), 11));
    previous = std::move(list);
  }
}

void print_info(const std::filesystem::path& archive_path, const pack::Archive& archive,
                const format::EntryList& files, std::FILE* out) {
  TextOut text(out);
  text.line(archive_path.native(), ": ixo format v", archive.version);
  text.line(archive.snapshots.size(), " snapshot(s); the chosen one holds ", files.size(), " entries, ",
            pack::human(total_size(files)));
  text.line("this ixo-extract can read it");
}

}  // namespace ixo::cli
