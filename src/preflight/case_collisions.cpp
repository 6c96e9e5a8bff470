#include <algorithm>
#include <map>
#include <set>

#include "platform/file.h"
#include "platform/fs.h"
#include "preflight/lowercase.h"
#include "preflight/preflight.h"
#include "util/text.h"

namespace ixo::preflight {

namespace {

constexpr int PROBE_TRIES = 100;

// Creates a probe file in anchor and looks it up under its capitalised name. False whenever the probe cannot
// be made: then the destination counts as telling case apart.
bool ignores_case(const std::filesystem::path& anchor, CaseLookup lookup) {
  const uint32_t pid = platform::process_id();
  for (int i = 0; i < PROBE_TRIES; ++i) {
    const std::filesystem::path probe = anchor / cat(".ixo-case-probe-", pid, '-', i);
    Result<platform::File> file = platform::File::create_new(probe);
    if (!file) {
      if (file.error().kind() == ErrorKind::AlreadyExists) continue;
      return false;
    }
    const bool same = lookup(anchor / cat(".IXO-CASE-PROBE-", pid, '-', i));
    (void)platform::remove_file(probe);
    (void)file->close();
    return same;
  }
  return false;
}

}  // namespace

bool stands_at(const std::filesystem::path& path) { return platform::symlink_metadata(path).has_value(); }

std::vector<std::vector<std::string_view>> case_collisions(const std::vector<std::string_view>& paths) {
  // Every folder on the way to an entry counts as a path of its own.
  std::set<std::string_view> set;
  for (std::string_view path : paths) {
    set.insert(path);
    for (size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1))
      set.insert(path.substr(0, slash));
  }
  std::map<std::string, std::vector<std::string_view>> by_lower;
  for (std::string_view path : set) by_lower[to_lowercase(path)].push_back(path);

  std::vector<std::vector<std::string_view>> groups;
  for (auto& [lower, group] : by_lower)
    if (group.size() > 1) groups.push_back(std::move(group));
  std::stable_sort(groups.begin(), groups.end());
  return groups;
}

Status check_case_collisions(pack::Selection files, const std::filesystem::path& anchor, CaseLookup lookup) {
  if (!ignores_case(anchor, lookup)) return {};
  std::vector<std::string_view> paths;
  paths.reserve(files.size());
  for (const format::FileEntry* e : files) paths.push_back(e->path);
  const auto groups = case_collisions(paths);
  if (groups.empty()) return {};

  std::vector<std::string> items;
  for (const auto& group : groups) {
    std::string line;
    for (std::string_view path : group) {
      if (!line.empty()) line += "  <->  ";
      line += path;
    }
    items.push_back(std::move(line));
  }
  const std::string heading =
      cat(groups.size(),
          " group(s) of paths differ only in letter case, and the destination does not tell case apart; nothing "
          "was extracted (use --file to pick one of each, or extract to a case-sensitive folder):");
  return ixo::fail(fail(ErrorKind::InvalidInput, heading, items, groups.size()));
}

}  // namespace ixo::preflight
