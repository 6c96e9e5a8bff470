// The sentinel folder of output_tree_fuzz, S, with the output folder S/box/out that an extraction makes and a few
// files, folders and links of its own around it, some of which the tree's links can name:
//   secret, out (files), outside/f, box/secret, box/hard (a second name of secret), box/a/b, box/outside/,
//   box/u -> ../outside
// It tells what changed outside the output folder since it was made, and which links in the output folder lead
// outside it when followed as the kernel follows them.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ixo::fuzz {

constexpr int MAX_LINKS = 40;  // the kernel's bound on links followed in one lookup

[[noreturn]] inline void finding(const std::string& what) {
  std::fprintf(stderr, "output_tree_fuzz: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline std::string joined(const std::string& folder, std::string_view name) {
  return folder == "/" ? "/" + std::string(name) : folder + "/" + std::string(name);
}

inline void must(bool ok, const std::string& what) {
  if (!ok) finding(what + ": " + std::strerror(errno));
}

inline void put_file(const std::string& path, std::string_view content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  must(fd >= 0, "cannot create " + path);
  must(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()), "cannot write " + path);
  ::close(fd);
}

// One name as lstat sees it, with what it holds.
struct Node {
  mode_t mode;
  uid_t uid;
  gid_t gid;
  off_t size;
  nlink_t nlink;
  dev_t dev;
  ino_t ino;
  int64_t mtime_ns;
  int64_t ctime_ns;
  std::string content;  // of a file, or a link's target
};

inline int64_t ns(const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

inline std::string content_of(const std::string& path, const struct stat& st) {
  std::string text;
  if (S_ISLNK(st.st_mode)) {
    text.resize(4096);
    const ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
    text.resize(n < 0 ? 0 : static_cast<size_t>(n));
  } else if (S_ISREG(st.st_mode)) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
    const int any = fd >= 0 ? fd : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (any < 0) return "(unreadable)";
    char buf[256];
    for (ssize_t n; (n = ::read(any, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(any);
  }
  return text;
}

// The names in a folder. One in the output folder that cannot be listed is opened up first: its mode is the
// run's to change.
inline std::vector<std::string> names_in(const std::string& folder, bool open_up = false) {
  DIR* d = ::opendir(folder.c_str());
  if (!d && open_up && ::chmod(folder.c_str(), 0700) == 0) d = ::opendir(folder.c_str());
  if (!d) return {};
  std::vector<std::string> names;
  while (const dirent* ent = ::readdir(d)) {
    const std::string_view name = ent->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(d);
  return names;
}

using Snapshot = std::map<std::string, Node>;

// Everything below folder, by path relative to it (under rel), except skip and what it holds.
inline void snapshot_into(Snapshot& snap, const std::string& folder, const std::string& rel, const std::string& skip) {
  for (const std::string& name : names_in(folder)) {
    const std::string path = joined(folder, name);
    const std::string key = rel.empty() ? name : rel + "/" + name;
    if (key == skip) continue;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    snap[key] = Node{st.st_mode, st.st_uid, st.st_gid,      st.st_size,     st.st_nlink,
                     st.st_dev,  st.st_ino, ns(st.st_mtim), ns(st.st_ctim), content_of(path, st)};
    if (S_ISDIR(st.st_mode)) snapshot_into(snap, path, key, skip);
  }
}

// What differs between the two states of one name; empty when nothing does. Times and link count are left out
// for the folder that holds the output folder.
inline std::string difference(const Node& was, const Node& is, bool holds_out) {
  std::string d;
  auto note = [&](bool differs, const char* what) {
    if (differs) d += d.empty() ? what : std::string(", ") + what;
  };
  note((was.mode & S_IFMT) != (is.mode & S_IFMT), "type");
  note((was.mode & 07777) != (is.mode & 07777), "mode");
  note(was.uid != is.uid || was.gid != is.gid, "owner");
  note(was.ino != is.ino || was.dev != is.dev, "inode");
  note(!S_ISDIR(was.mode) && was.size != is.size, "size");
  note(was.content != is.content, "content");
  if (!holds_out) {
    note(was.nlink != is.nlink, "link count");
    note(was.mtime_ns != is.mtime_ns, "modification time");
    note(was.ctime_ns != is.ctime_ns, "change time");
  }
  return d;
}

inline void remove_tree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& name : names_in(path, true)) remove_tree(joined(path, name));
    must(::rmdir(path.c_str()) == 0, "cannot remove " + path);
  } else {
    must(::unlink(path.c_str()) == 0, "cannot remove " + path);
  }
}

class SentinelFolder {
 public:
  explicit SentinelFolder(const std::string& base) {
    std::string name = joined(base, "ixo-output-tree-fuzz.XXXXXX");
    must(::mkdtemp(name.data()) != nullptr, "cannot make a scratch folder in " + base);
    std::error_code ec;
    root_ = std::filesystem::canonical(name, ec).native();
    if (ec) finding("cannot resolve " + name + ": " + ec.message());
    box_ = joined(root_, "box");
    out_ = joined(box_, "out");
    put_file(joined(root_, "secret"), "the sentinel's secret");
    put_file(joined(root_, "out"), "not the output folder");
    must(::mkdir(joined(root_, "outside").c_str(), 0755) == 0, "mkdir");
    put_file(joined(root_, "outside/f"), "outside");
    must(::mkdir(box_.c_str(), 0755) == 0, "mkdir");
    put_file(joined(box_, "secret"), "the box's secret");
    must(::link(joined(root_, "secret").c_str(), joined(box_, "hard").c_str()) == 0, "link");
    must(::mkdir(joined(box_, "a").c_str(), 0755) == 0, "mkdir");
    put_file(joined(box_, "a/b"), "b");
    must(::mkdir(joined(box_, "outside").c_str(), 0755) == 0, "mkdir");
    must(::symlink("../outside", joined(box_, "u").c_str()) == 0, "symlink");
    // Old times, so that a touch shows.
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    for (const std::string& rel : {"secret", "out", "outside/f", "outside", "box/secret", "box/a/b", "box/a",
                                   "box/outside", "box/u", "box", ""}) {
      must(::utimensat(AT_FDCWD, rel.empty() ? root_.c_str() : joined(root_, rel).c_str(), old,
                       AT_SYMLINK_NOFOLLOW) == 0,
           "utimensat");
    }
    before_ = snapshot();
  }
  ~SentinelFolder() { remove_tree(root_); }
  SentinelFolder(const SentinelFolder&) = delete;
  SentinelFolder& operator=(const SentinelFolder&) = delete;

  const std::string& out() const { return out_; }
  const std::string& root() const { return root_; }

  // S itself is under the empty name.
  Snapshot snapshot() const {
    Snapshot snap;
    struct stat st;
    must(::lstat(root_.c_str(), &st) == 0, "lstat " + root_);
    snap[""] = Node{st.st_mode, st.st_uid, st.st_gid, st.st_size, st.st_nlink, st.st_dev, st.st_ino,
                    ns(st.st_mtim), ns(st.st_ctim), {}};
    snapshot_into(snap, root_, "", "box/out");
    return snap;
  }

  // What changed outside the output folder since S was made; empty when nothing did.
  std::string changed_outside() const {
    const Snapshot after = snapshot();
    for (const auto& [rel, was] : before_) {
      const std::string shown = rel.empty() ? "S" : "S/" + rel;
      const auto is = after.find(rel);
      if (is == after.end()) return shown + " outside the output folder is gone";
      if (std::string d = difference(was, is->second, rel == "box"); !d.empty())
        return shown + " outside the output folder changed: " + d;
    }
    for (const auto& [rel, is] : after)
      if (!before_.contains(rel)) return "S/" + rel + " appeared outside the output folder";
    return {};
  }

  // A symbolic link in the output folder that leads outside it, or a file there that is also a name of something
  // outside it; empty when there is none.
  std::string escape_from_out() const {
    std::set<std::pair<dev_t, ino_t>> outside;
    for (const auto& [rel, node] : before_)
      if (!S_ISDIR(node.mode)) outside.emplace(node.dev, node.ino);
    Names names;
    if (std::string found = walk_out(out_, "out", outside, names); !found.empty()) return found;
    for (const auto& [id, first] : names) {
      struct stat st;
      if (::lstat(joined(box_, first.first).c_str(), &st) == 0 && st.st_nlink > first.second)
        return "S/box/" + first.first + " has " + std::to_string(st.st_nlink) + " links, of which " +
               std::to_string(first.second) + " in the output folder";
    }
    return {};
  }

 private:
  using Names = std::map<std::pair<dev_t, ino_t>, std::pair<std::string, nlink_t>>;  // first name, names counted

  std::string walk_out(const std::string& folder, const std::string& rel,
                       const std::set<std::pair<dev_t, ino_t>>& outside, Names& names) const {
    for (const std::string& name : names_in(folder, true)) {
      const std::string path = joined(folder, name);
      const std::string shown = rel + "/" + name;
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        if (std::string found = walk_out(path, shown, outside, names); !found.empty()) return found;
        continue;
      }
      if (outside.contains({st.st_dev, st.st_ino})) return "S/box/" + shown + " is a name of a file outside";
      ++names.try_emplace({st.st_dev, st.st_ino}, shown, 0).first->second.second;
      if (!S_ISLNK(st.st_mode)) continue;
      const std::string target = content_of(path, st);
      const std::optional<std::string> leads = resolve(folder, target);
      const std::string link = "S/box/" + shown + " -> " + target;
      if (!leads) return link + " is a loop (over " + std::to_string(MAX_LINKS) + " links)";
      if (!inside(*leads)) return link + " leads outside the output folder, to " + shown_path(*leads);
    }
    return {};
  }

  bool inside(const std::string& path) const { return path == out_ || path.starts_with(out_ + "/"); }
  std::string shown_path(const std::string& path) const {
    if (path == root_) return "S";
    return path.starts_with(root_ + "/") ? "S" + path.substr(root_.size()) : path;
  }

  // Where target, read in folder (absolute, without links), leads when the kernel follows it; none past the
  // bound on links.
  static std::optional<std::string> resolve(const std::string& folder, const std::string& target) {
    std::vector<std::string> at;  // the components reached, none a link
    std::deque<std::string> todo;
    auto push_front = [&todo](std::string_view text) {
      std::vector<std::string> pieces;
      for (size_t start = 0;;) {
        const size_t end = text.find('/', start);
        pieces.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
      }
      todo.insert(todo.begin(), pieces.begin(), pieces.end());
    };
    auto path_of = [&at] {
      std::string p;
      for (const std::string& c : at) p += "/" + c;
      return p.empty() ? std::string("/") : p;
    };
    push_front(target.starts_with('/') ? target : folder + "/" + target);
    int links = 1;  // the link itself
    bool lexical = false;  // past a name that is missing or not a folder
    while (!todo.empty()) {
      std::string piece = std::move(todo.front());
      todo.pop_front();
      if (piece.empty() || piece == ".") continue;
      if (piece == "..") {
        if (!at.empty()) at.pop_back();
        continue;
      }
      at.push_back(std::move(piece));
      if (lexical) continue;
      struct stat st;
      const std::string path = path_of();
      if (::lstat(path.c_str(), &st) != 0) {
        lexical = true;
      } else if (S_ISLNK(st.st_mode)) {
        if (++links > MAX_LINKS) return std::nullopt;
        at.pop_back();
        std::string text(4096, '\0');
        const ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
        text.resize(n < 0 ? 0 : static_cast<size_t>(n));
        if (text.starts_with('/')) at.clear();
        push_front(text);
      } else if (!S_ISDIR(st.st_mode)) {
        lexical = !todo.empty();
      }
    }
    return path_of();
  }

  std::string root_, box_, out_;
  Snapshot before_;
};

}  // namespace ixo::fuzz
