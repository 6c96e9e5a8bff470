#include "format/snapshot.h"

#include <string_view>
#include <unordered_set>
#include <vector>

#include "codec/codec.h"
#include "format/file_entry.h"
#include "format/reserve_hint.h"
#include "format/try.h"

namespace ixo::format {

namespace {

bool has_copy(const Snapshot& s) {
  for (const Edit& e : s.edits)
    if (e.tag == Edit::Copy) return true;
  return false;
}

// Positions of the previous list already copied by this snapshot, one bit each.
class CopiedBits {
 public:
  explicit CopiedBits(uint64_t len) : words_((len + 63) / 64, 0) {}
  // Marks [start, start + count) in ascending order; false at the first position already marked.
  bool mark(uint64_t start, uint64_t count) {
    for (uint64_t p = start; p < start + count; ++p) {
      uint64_t& w = words_[p / 64];
      const uint64_t bit = uint64_t{1} << (p % 64);
      if (w & bit) return false;
      w |= bit;
    }
    return true;
  }

 private:
  std::vector<uint64_t> words_;
};

}  // namespace

uint64_t list_length(const Snapshot& s) {
  uint64_t n = 0;
  for (const Edit& e : s.edits) n += e.count;
  return n;
}

Result<Snapshot> read_edits(Reader& r, uint16_t version, bool has_metadata, std::span<const ChunkRef> chunks,
                            int64_t time, uint64_t prev_len) {
  Snapshot snap;
  snap.time = time;
  IXO_TRY(count, r.u32());
  // The smallest edit record, a copy, takes 9 bytes.
  snap.edits.reserve(reserve_hint(*count, MAX_EDIT_RESERVE, r.remaining(), 9));
  std::optional<CopiedBits> copied;  // made at the first copy edit only
  for (uint32_t i = 0; i < *count; ++i) {
    IXO_TRY(tag, r.u8());
    if (*tag == Edit::Add) {
      IXO_TRY(n, r.u32());
      if (*n == 0) return fail(codec::invalid("empty snapshot edit"));
      for (uint32_t k = 0; k < *n; ++k) {
        IXO_TRY(entry, read_file_entry(r, version, has_metadata, chunks));
        snap.entries.push_back(std::move(*entry));
      }
      snap.edits.push_back(Edit{Edit::Add, 0, *n});
    } else if (*tag == Edit::Copy) {
      IXO_TRY(start, r.u32());
      IXO_TRY(n, r.u32());
      if (*n == 0 || uint64_t{*start} + *n > prev_len)
        return fail(codec::invalid("snapshot copies outside the previous snapshot"));
      if (!copied) copied.emplace(prev_len);
      if (!copied->mark(*start, *n)) return fail(codec::invalid("snapshot copies an entry twice"));
      snap.edits.push_back(Edit{Edit::Copy, *start, *n});
    } else {
      return fail(codec::invalid("unknown snapshot edit"));
    }
  }
  return snap;
}

Snapshot Snapshot::full(int64_t time, std::vector<FileEntry> entries) {
  Snapshot s;
  s.time = time;
  if (!entries.empty()) s.edits.push_back(Edit{Edit::Add, 0, static_cast<uint32_t>(entries.size())});
  s.entries = std::move(entries);
  return s;
}

EntryList Snapshot::apply(const EntryList& previous) const {
  EntryList list;
  list.reserve(list_length(*this));
  size_t cursor = 0;
  // The reader guarantees that adds find their entries and copies lie inside previous; the bounds here only keep a
  // hand-made snapshot from reading outside either table.
  for (const Edit& e : edits) {
    if (e.tag == Edit::Add) {
      for (uint32_t k = 0; k < e.count && cursor < entries.size(); ++k) list.push_back(&entries[cursor++]);
    } else {
      for (uint64_t p = e.start; p < uint64_t{e.start} + e.count && p < previous.size(); ++p)
        list.push_back(previous[p]);
    }
  }
  return list;
}

EntryList snapshot_files(const std::vector<Snapshot>& snapshots, size_t n) {
  if (n >= snapshots.size()) return {};
  // A snapshot without copy edits does not depend on the one before it: start there.
  size_t start = 0;
  for (size_t i = n; i >= 1; --i) {
    if (!has_copy(snapshots[i])) {
      start = i;
      break;
    }
  }
  EntryList list;
  for (size_t i = start; i <= n; ++i) list = snapshots[i].apply(list);
  return list;
}

Status check_hard_links(const EntryList& list) {
  bool any = false;
  for (const FileEntry* e : list) any = any || e->kind == HardLink;
  if (!any) return {};
  std::unordered_set<std::string_view> files;
  for (const FileEntry* e : list) {
    if (e->kind == Regular) {
      files.insert(e->path);
    } else if (e->kind == HardLink && !files.contains(e->link_target)) {
      return fail(codec::invalid("hard link does not name an earlier regular file"));
    }
  }
  return {};
}

}  // namespace ixo::format
