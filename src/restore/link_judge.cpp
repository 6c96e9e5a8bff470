#include "restore/link_judge.h"

#include <unordered_map>

namespace ixo::pack {

namespace {

// The pieces of text split at every '/', last first, as a stack to take from.
void push_reversed(std::vector<std::string>& pending, std::string_view text) {
  std::vector<std::string_view> pieces;
  for (size_t start = 0;;) {
    const size_t slash = text.find('/', start);
    pieces.push_back(text.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) pending.emplace_back(*piece);
}

std::string joined(const std::vector<std::string>& pieces, std::string_view last) {
  std::string path;
  for (const std::string& piece : pieces) {
    path += piece;
    path += '/';
  }
  path += last;
  return path;
}

// The folders of path, outermost first: "a", "a/b" for "a/b/c".
std::vector<std::string_view> folders_of(std::string_view path) {
  std::vector<std::string_view> folders;
  for (size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1))
    folders.push_back(path.substr(0, slash));
  return folders;
}

}  // namespace

bool leads_inside(std::string_view link_path, std::string_view target, const LookUp& look_up,
                  std::vector<std::string>* consulted) {
  std::vector<std::string> at;  // where the walk stands, piece by piece below the output folder
  for (size_t start = 0, slash; (slash = link_path.find('/', start)) != std::string_view::npos; start = slash + 1)
    at.emplace_back(link_path.substr(start, slash - start));
  std::vector<std::string> pending;
  push_reversed(pending, target);
  int followed = 0;
  while (!pending.empty()) {
    const std::string piece = std::move(pending.back());
    pending.pop_back();
    if (piece.empty() || piece == ".") continue;
    if (piece == "..") {
      if (at.empty()) return false;
      at.pop_back();
      continue;
    }
    std::string path = joined(at, piece);
    const Standing standing = look_up(path);
    if (consulted) consulted->push_back(std::move(path));
    switch (standing.kind) {
      case Standing::Nothing:
      case Standing::Folder:
        at.push_back(piece);
        break;
      case Standing::Other:
        return true;  // a file: the path ends there, or the system refuses to go on through it
      case Standing::Unknown:
        return false;
      case Standing::Link:
        if (++followed > MAX_LINKS_FOLLOWED) return false;
        if (standing.target.empty()) return true;  // leads nowhere
        if (standing.target.front() == '/') return false;
        push_reversed(pending, standing.target);
        break;
    }
  }
  return true;
}

std::vector<bool> links_leading_inside(std::span<const LinkToMake> links, const LookUp& disk) {
  std::unordered_map<std::string, Standing> seen;
  auto on_disk = [&](std::string_view path) -> const Standing& {
    auto found = seen.find(std::string(path));
    if (found == seen.end()) found = seen.emplace(std::string(path), disk(path)).first;
    return found->second;
  };

  // Which link each place will hold, and which links make each folder that does not stand yet: made in order,
  // a link is not made where anything stands or will stand, nor below anything but a folder.
  std::unordered_map<std::string_view, size_t> made_at;
  std::unordered_map<std::string_view, std::vector<size_t>> folder_for;
  std::unordered_map<std::string_view, std::vector<size_t>> links_at;     // every link, by its place
  std::unordered_map<std::string_view, std::vector<size_t>> links_below;  // every link, by each of its folders
  for (size_t i = 0; i < links.size(); ++i) {
    const std::string_view path = links[i].path;
    links_at[path].push_back(i);
    const std::vector<std::string_view> folders = folders_of(path);
    bool made = true;
    std::vector<std::string_view> to_make;
    for (const std::string_view folder : folders) {
      links_below[folder].push_back(i);
      if (!made) continue;
      const Standing::Kind kind = on_disk(folder).kind;
      if (kind == Standing::Folder) continue;
      if (kind != Standing::Nothing || made_at.contains(folder)) {
        made = false;
        continue;
      }
      to_make.push_back(folder);
    }
    if (!made || on_disk(path).kind != Standing::Nothing || made_at.contains(path) || folder_for.contains(path))
      continue;
    made_at.emplace(path, i);
    for (const std::string_view folder : to_make) folder_for[folder].push_back(i);
  }

  auto view = [&](std::string_view path) -> Standing {
    const Standing& standing = on_disk(path);
    if (standing.kind != Standing::Nothing) return standing;
    const auto link = made_at.find(path);
    if (link == made_at.end()) return standing;
    return Standing{Standing::Link, std::string(links[link->second].target)};
  };
  std::vector<bool> inside(links.size());
  std::unordered_map<std::string, std::vector<size_t>> consulted_by;
  for (size_t i = 0; i < links.size(); ++i) {
    std::vector<std::string> consulted;
    inside[i] = leads_inside(links[i].path, links[i].target, view, &consulted);
    for (std::string& path : consulted) {
      std::vector<size_t>& by = consulted_by[std::move(path)];
      if (by.empty() || by.back() != i) by.push_back(i);
    }
  }

  // A refused link that was to be made leaves its place to another, and the folders it was to make may not be
  // made: every link whose verdict looked there, or that could now be made there, is refused as well.
  std::vector<std::string_view> changed;
  auto leave = [&](size_t i) {
    const std::string_view path = links[i].path;
    const auto at = made_at.find(path);
    if (at == made_at.end() || at->second != i) return;
    changed.push_back(path);
    for (const std::string_view folder : folders_of(path)) {
      const auto claim = folder_for.find(folder);
      if (claim == folder_for.end()) continue;
      std::erase(claim->second, i);
      if (claim->second.empty()) changed.push_back(folder);
    }
  };
  for (size_t i = 0; i < links.size(); ++i) {
    if (!inside[i]) leave(i);
  }
  auto refuse = [&](const std::vector<size_t>* which) {
    if (which == nullptr) return;
    for (const size_t j : *which) {
      if (!inside[j]) continue;
      inside[j] = false;
      leave(j);
    }
  };
  auto find = [](auto& map, std::string_view key) -> const std::vector<size_t>* {
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
  };
  while (!changed.empty()) {
    const std::string_view path = changed.back();
    changed.pop_back();
    const auto consulted = consulted_by.find(std::string(path));
    if (consulted != consulted_by.end()) refuse(&consulted->second);
    refuse(find(links_at, path));
    refuse(find(links_below, path));
  }
  return inside;
}

}  // namespace ixo::pack
