#include "cli/selection.h"

#include <map>

#include "codec/codec.h"
#include "restore/output_path.h"
#include "util/text.h"

namespace ixo::cli {

Result<FileSelection> select_files(const format::EntryList& list, const std::vector<std::string>& files) {
  FileSelection selection;
  if (files.empty()) {
    selection.entries = list;
    return selection;
  }
  std::map<std::string, bool, std::less<>> wanted;  // value -> matched
  for (const std::string& value : files) {
    if (auto safe = pack::safe_join({}, value); !safe) return fail(safe.error());
    wanted.emplace(value, false);
  }
  for (const format::FileEntry* e : list) {
    const auto it = wanted.find(e->path);
    if (it == wanted.end()) continue;
    selection.entries.push_back(e);
    it->second = true;
  }
  for (const auto& [value, matched] : wanted) {
    if (!matched)
      return fail(Error::message(ErrorKind::NotFound, cat("file '", value, "' does not exist in the selected snapshot")));
  }

  // A hard link whose target stays behind becomes a file of its own, with the target's bytes and times.
  for (const format::FileEntry*& e : selection.entries) {
    if (e->kind != format::HardLink || wanted.contains(e->link_target)) continue;
    const format::FileEntry* target = nullptr;
    for (const format::FileEntry* candidate : list) {
      if (candidate->kind == format::Regular && candidate->path == e->link_target) {
        target = candidate;  // the first, should a hostile list hold the path twice
        break;
      }
    }
    if (target == nullptr) return fail(codec::invalid("hard link target is missing"));
    auto copy = std::make_unique<format::FileEntry>(*target);
    copy->path = e->path;
    copy->mode = e->mode;
    copy->link_target.clear();
    e = copy.get();
    selection.owned.push_back(std::move(copy));
  }
  return selection;
}

}  // namespace ixo::cli
