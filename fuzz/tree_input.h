// The fuzz input of output_tree_fuzz: a small tree of files, folders, symbolic links and hard links over a few
// names, in any order, with any targets. Byte 0, bit 0: the tree goes to a file system in memory (else on disk).
// Then up to 32 entries, each
//   a head byte: bits 0-1 the kind (0 file, 1 folder, 2 symbolic link, 3 hard link), bits 2-4 the number of path
//     pieces less 1, bit 5 a mode byte follows, bit 6 a time byte follows, bit 7 the link's target is absolute;
//   one byte per path piece; the mode byte m (mode 0400 | m); the time byte t (day t after 1600000000);
//   a file: a length byte (low 4 bits), then as many content bytes;
//   a symbolic link: a count byte (mod 13), then as many target pieces;
//   a hard link: a byte t; below 0x80, with files before it, the path of the (t mod n)-th of them, else
//     (t & 3) + 1 target pieces follow.
// A piece byte p stands for NAMES[p % 19] when p % 19 is below 16, else for "..", "." or "" (16, 17, 18).
// encode() writes a tree in this form, for the seeds.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ixo::fuzz {

constexpr std::array<std::string_view, 16> NAMES = {"a", "b", "c",      "d",       "e",   "f",   "u", "p",
                                                    "l", "m", "x",      "secret",  "out", "box", "h", "outside"};
constexpr uint8_t PIECE_KINDS = 19;
constexpr size_t MAX_ENTRIES = 32;

enum Kind : uint8_t { File = 0, Folder = 1, Symlink = 2, HardLink = 3 };

struct TreeEntry {
  Kind kind;
  std::string path;
  std::string target;  // links: the target; files: the content
  std::optional<uint32_t> mode = std::nullopt;
  std::optional<uint8_t> day = std::nullopt;  // the stored time, in days after 1600000000

  friend bool operator==(const TreeEntry&, const TreeEntry&) = default;
};

struct Tree {
  bool in_memory = false;
  std::vector<TreeEntry> entries;

  friend bool operator==(const Tree&, const Tree&) = default;
};

struct TreeBytes {
  const uint8_t* p;
  size_t n;
  bool u8(uint8_t& v) {
    if (n == 0) return false;
    v = *p++;
    --n;
    return true;
  }
};

inline std::string piece_of(uint8_t byte) {
  const uint8_t k = byte % PIECE_KINDS;
  if (k < NAMES.size()) return std::string(NAMES[k]);
  return k == 16 ? ".." : k == 17 ? "." : "";
}

inline bool pieces(TreeBytes& in, size_t count, std::string& out) {
  for (size_t i = 0; i < count; ++i) {
    uint8_t b;
    if (!in.u8(b)) return false;
    if (i > 0) out += '/';
    out += piece_of(b);
  }
  return true;
}

inline Tree parse(const uint8_t* data, size_t size) {
  Tree tree;
  TreeBytes in{data, size};
  uint8_t flags = 0;
  if (!in.u8(flags)) return tree;
  tree.in_memory = flags & 1;
  std::vector<std::string> files;
  uint8_t head;
  while (tree.entries.size() < MAX_ENTRIES && in.u8(head)) {
    TreeEntry e{static_cast<Kind>(head & 3), {}, {}};
    if (!pieces(in, ((head >> 2) & 7) + 1, e.path)) break;
    uint8_t b;
    if (head & 0x20) {
      if (!in.u8(b)) break;
      e.mode = 0400 | b;
    }
    if (head & 0x40) {
      if (!in.u8(b)) break;
      e.day = b;
    }
    if (e.kind != Folder && !in.u8(b)) break;
    if (e.kind == File) {
      for (uint8_t i = 0, c; i < (b & 15) && in.u8(c); ++i) e.target += static_cast<char>(c);
      files.push_back(e.path);
    } else if (e.kind == Symlink) {
      if (head & 0x80) e.target = "/";
      if (!pieces(in, b % 13, e.target)) break;
    } else if (e.kind == HardLink) {
      if (b < 0x80 && !files.empty()) {
        e.target = files[b % files.size()];
      } else if (!pieces(in, (b & 3) + 1, e.target)) {
        break;
      }
    }
    tree.entries.push_back(std::move(e));
  }
  return tree;
}

[[noreturn]] inline void unencodable(const std::string& what) {
  std::fprintf(stderr, "tree_input: %s\n", what.c_str());
  std::abort();
}

// One line per entry, for a finding's message.
inline std::string describe(const Tree& tree) {
  std::string text = tree.in_memory ? "tree, on a file system in memory:\n" : "tree, on disk:\n";
  for (const TreeEntry& e : tree.entries) {
    static constexpr const char* KINDS[] = {"file", "folder", "link", "hard link"};
    text += "  " + std::string(KINDS[e.kind]) + " " + e.path;
    if (e.kind == File) text += " (" + std::to_string(e.target.size()) + " bytes)";
    if (e.kind == Symlink || e.kind == HardLink) text += " -> " + e.target;
    if (e.mode) text += " mode " + std::to_string(*e.mode >> 6) + std::to_string(*e.mode >> 3 & 7) +
                        std::to_string(*e.mode & 7);
    if (e.day) text += " day " + std::to_string(*e.day);
    text += '\n';
  }
  return text;
}

// Aborts on a tree the form cannot hold: a name not among NAMES, a path of more than 8 pieces.
inline uint8_t piece_byte(std::string_view piece) {
  if (piece == "..") return 16;
  if (piece == ".") return 17;
  if (piece.empty()) return 18;
  for (size_t i = 0; i < NAMES.size(); ++i)
    if (NAMES[i] == piece) return static_cast<uint8_t>(i);
  unencodable("seed piece '" + std::string(piece) + "' is not among the names");
}

inline std::vector<uint8_t> piece_bytes(std::string_view path) {
  std::vector<uint8_t> out;
  for (size_t start = 0;;) {
    const size_t end = path.find('/', start);
    out.push_back(piece_byte(path.substr(start, end == std::string_view::npos ? end : end - start)));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

inline std::vector<uint8_t> encode(const Tree& tree) {
  std::vector<uint8_t> out{static_cast<uint8_t>(tree.in_memory ? 1 : 0)};
  std::vector<std::string> files;
  for (const TreeEntry& e : tree.entries) {
    const std::vector<uint8_t> path = piece_bytes(e.path);
    const bool absolute = e.kind == Symlink && e.target.starts_with('/');
    if (path.size() > 8) unencodable("seed path '" + e.path + "' has more than 8 pieces");
    out.push_back(static_cast<uint8_t>(e.kind | (path.size() - 1) << 2 | (e.mode ? 0x20 : 0) | (e.day ? 0x40 : 0) |
                                       (absolute ? 0x80 : 0)));
    out.insert(out.end(), path.begin(), path.end());
    if (e.mode) out.push_back(static_cast<uint8_t>(*e.mode & 0377));
    if (e.day) out.push_back(*e.day);
    if (e.kind == File) {
      out.push_back(static_cast<uint8_t>(e.target.size()));
      out.insert(out.end(), e.target.begin(), e.target.end());
      files.push_back(e.path);
    } else if (e.kind == Symlink) {
      const std::vector<uint8_t> target = piece_bytes(absolute ? e.target.substr(1) : e.target);
      out.push_back(static_cast<uint8_t>(target.size()));
      out.insert(out.end(), target.begin(), target.end());
    } else if (e.kind == HardLink) {
      size_t i = 0;
      while (i < files.size() && files[i] != e.target) ++i;
      if (i < files.size()) {
        out.push_back(static_cast<uint8_t>(i));
      } else {
        const std::vector<uint8_t> target = piece_bytes(e.target);
        out.push_back(static_cast<uint8_t>(0x80 | (target.size() - 1)));
        out.insert(out.end(), target.begin(), target.end());
      }
    }
  }
  return out;
}

}  // namespace ixo::fuzz
