// Shared pieces of the restore tests: temporary folders, archives from the test writer opened in-process, the
// rebuild with its diagnostics captured, and snapshots of folder trees to compare.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "restore/extract.h"
#include "support/writer/archive_writer.h"

namespace ixo::test {

// A new folder under the system's temporary folder (or under another), removed with everything in it (whatever
// its modes).
class TempFolder {
 public:
  TempFolder() : TempFolder(std::filesystem::temp_directory_path()) {}
  explicit TempFolder(const std::filesystem::path& under);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct OpenedArchive {
  pack::Archive archive;
  format::EntryList list;  // of the latest snapshot
};

// Saves builder's archive at file and opens it.
OpenedArchive open_built(const ArchiveBuilder& builder, const std::filesystem::path& file);

struct RebuildOutcome {
  Result<pack::ExtractCounts> result;
  std::string diagnostics;  // what the run printed
};

RebuildOutcome run_rebuild(const pack::Archive& archive, pack::Selection files,
                           const std::optional<std::filesystem::path>& out, pack::RebuildOptions options = {});

// One entry of a folder tree, as lstat and the file's bytes describe it.
struct Node {
  enum Type { File, Dir, Link, Other } type = Other;
  uint32_t mode = 0;
  int64_t mtime = 0;
  uint32_t mtime_nanos = 0;
  std::string content;  // bytes of a file, target of a link
  ino_t inode = 0;

  friend bool operator==(const Node&, const Node&) = default;
};
using Tree = std::map<std::string, Node>;  // relative path -> node

// Every entry below root (not root itself).
Tree read_tree(const std::filesystem::path& root);
std::string read_file(const std::filesystem::path& path);
void write_text(const std::filesystem::path& path, const std::string& text);
// Names of every entry below root, relative, sorted (for "nothing else was written").
std::vector<std::string> names_below(const std::filesystem::path& root);

}  // namespace ixo::test
