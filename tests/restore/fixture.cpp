#include "fixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace ixo::test {

namespace fs = std::filesystem;

TempFolder::TempFolder(const fs::path& under) {
  std::string name = (under / "ixo-restore-test-XXXXXX").string();
  if (::mkdtemp(name.data()) == nullptr) std::abort();
  path_ = name;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Folders restored with modes such as 0o500 must be writable again before they can be emptied.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
  }
  fs::remove_all(path_, ec);
}

OpenedArchive open_built(const ArchiveBuilder& builder, const fs::path& file) {
  if (Status saved = builder.save(file); !saved) {
    ADD_FAILURE() << "saving the archive: " << saved.error().to_string();
    std::abort();
  }
  Result<pack::Archive> archive = pack::Archive::open(file);
  if (!archive) {
    ADD_FAILURE() << "opening the archive: " << archive.error().to_string();
    std::abort();
  }
  format::EntryList list = format::snapshot_files(archive->snapshots, archive->snapshots.size() - 1);
  return OpenedArchive{std::move(*archive), std::move(list)};
}

RebuildOutcome run_rebuild(const pack::Archive& archive, pack::Selection files,
                           const std::optional<fs::path>& out, pack::RebuildOptions options) {
  std::FILE* capture = std::tmpfile();
  options.diagnostics = capture;
  Result<pack::ExtractCounts> result = pack::extract_selected(archive, files, 2, out, options);
  std::string text;
  std::rewind(capture);
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, capture)) > 0;) text.append(buf, n);
  std::fclose(capture);
  return RebuildOutcome{std::move(result), std::move(text)};
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

Tree read_tree(const fs::path& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    Node n;
    n.mode = st.st_mode & 07777;
    n.inode = st.st_ino;
    if (S_ISREG(st.st_mode)) {
      n.type = Node::File;
      n.content = read_file(it->path());
    } else if (S_ISDIR(st.st_mode)) {
      n.type = Node::Dir;
    } else if (S_ISLNK(st.st_mode)) {
      n.type = Node::Link;
      n.content = fs::read_symlink(it->path()).string();
      n.mode = 0;  // links carry no mode of their own
    }
    if (n.type != Node::Link) {
      n.mtime = st.st_mtim.tv_sec;
      n.mtime_nanos = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    }
    tree[it->path().lexically_relative(root).string()] = n;
  }
  return tree;
}

std::vector<std::string> names_below(const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& [name, node] : read_tree(root)) names.push_back(name);
  return names;
}

}  // namespace ixo::test
