// An extraction must leave everything outside its output folder as it was, and every symbolic link it makes must
// lead inside the output folder when followed on disk. Each input is a small tree (tree_input.h), written as an
// archive and extracted as the program extracts it (open, the newest snapshot, every entry, the pre-flight checks,
// one worker) into S/box/out, a folder that does not exist yet inside a sentinel folder S (sentinel_folder.h). The
// input fails (abort, saying what) when afterwards
//   - anything in S outside S/box/out differs: names, types, sizes, modes, owners, times, link counts, inodes,
//     contents (S/box itself by all but its times and link count, which making and removing out change);
//   - a symbolic link in out leads outside it when followed as the kernel follows it: every component, links
//     included, at most 40 links (a loop counts as outside), a missing or non-folder remainder taken lexically;
//   - a file in out shares its inode with a file outside it, or has more links than it has names in out.
// S/box/out is removed after each input; after a finding S stays as it was found, named in the message with the
// tree.
//
// IXO_OUTPUT_TREE_SEEDS=FOLDER output_tree_fuzz writes the trees of seeds() below into FOLDER and exits
// (fuzz/output_tree_seeds holds them).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "cli/run.h"
#include "cli/selection.h"
#include "preflight/preflight.h"
#include "restore/extract.h"
#include "sentinel_folder.h"
#include "support/writer/archive_writer.h"
#include "tree_input.h"

namespace {

using namespace ixo::fuzz;
using ixo::test::Bytes;

TreeEntry F(std::string path, std::string content = "x") { return {File, std::move(path), std::move(content)}; }
TreeEntry D(std::string path) { return {Folder, std::move(path), {}}; }
TreeEntry L(std::string path, std::string target) { return {Symlink, std::move(path), std::move(target)}; }
TreeEntry H(std::string path, std::string target) { return {HardLink, std::move(path), std::move(target)}; }
TreeEntry with(TreeEntry e, uint32_t mode, uint8_t day) {
  e.mode = mode;
  e.day = day;
  return e;
}

const std::vector<std::pair<std::string, Tree>>& seeds() {
  static const std::vector<std::pair<std::string, Tree>> all = {
      // Through a link to the output folder, six folders up.
      {"climb-through-root-link",
       {false,
        {D("a/b/c/d/e"), L("a/b/c/d/e/u", "../../../../.."), L("a/b/c/d/e/p", "u/../../../../../../secret")}}},
      // The same to the sentinel's own secret, two folders above the output folder.
      {"climb-to-sentinel",
       {true, {D("a/b/c/d/e"), L("a/b/c/d/e/u", "../../../../.."), L("a/b/c/d/e/p", "u/../../secret")}}},
      {"dot-link", {false, {L("u", "."), L("e", "u/../outside")}}},
      {"parent-link", {true, {D("d"), L("d/u", ".."), L("d/e", "u/../../outside")}}},
      {"loop", {false, {L("l", "m"), L("m", "l"), L("x", "x/a")}}},
      // Through a link the run made earlier, listed after the one that uses it.
      {"through-standing-link", {true, {L("m", "d/l/../secret"), D("d"), L("d/l", "..")}}},
      // A hard link below a name that the archive also gives a symbolic link to a folder.
      {"hard-link-below-linked-folder",
       {true, {L("l", "a"), F("a/f", "hard"), H("l/h", "a/f"), H("h", "a/f"), L("m", "l/h")}}},
      {"file-then-below-it", {false, {F("a", "first"), F("a/b", "second")}}},
      {"file-then-below-it-memory", {true, {F("x/a", "first"), F("x/a/b", "second")}}},
      // What a plain tree holds: every kind, contained links, modes and times, folders after their contents.
      {"plain-tree",
       {true,
        {F("d/f", "one"), with(F("d/e/c", "two"), 0640, 3), H("h", "d/f"), L("d/l", "../h"), L("d/e/m", "../../d"),
         L("u", "d/e/m/e/c"), with(D("d/e"), 0750, 9), with(D("d"), 0700, 2), D("x"), L("x/p", "/outside"),
         F("f", "")}}},
  };
  return all;
}

void write_seeds(const char* folder) {
  std::filesystem::create_directories(folder);
  for (const auto& [name, tree] : seeds()) {
    const Bytes bytes = encode(tree);
    if (parse(bytes.data(), bytes.size()) != tree) finding("seed " + name + " does not read back as written");
    if (auto ok = ixo::test::write_file(std::filesystem::path(folder) / name, bytes); !ok)
      finding("cannot write seed " + name + ": " + ok.error().to_string());
  }
}

Bytes archive_of(const Tree& tree) {
  using ixo::test::ArchiveBuilder;
  ArchiveBuilder b({.codec = ixo::test::Codec::Store});
  for (const TreeEntry& e : tree.entries) {
    const ixo::test::Meta meta{.mode = e.mode.value_or(ixo::test::NO_MODE),
                               .mtime = e.day ? 1600000000 + int64_t{86400} * *e.day : 0};
    switch (e.kind) {
      case File: b.add_file(e.path, std::string_view(e.target), meta); break;
      case Folder: b.add(ArchiveBuilder::dir(e.path, meta)); break;
      case Symlink: b.add(ArchiveBuilder::symlink(e.path, e.target, meta)); break;
      case HardLink: b.add(ArchiveBuilder::hardlink(e.path, e.target, meta)); break;
    }
  }
  b.snapshot(0);
  b.commit();
  return b.bytes();
}

// One sentinel per file system, made at first use and removed at exit.
SentinelFolder& sentinel(bool in_memory) {
  static std::optional<SentinelFolder> on_disk, in_mem;
  std::optional<SentinelFolder>& s = in_memory ? in_mem : on_disk;
  if (!s) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string disk = tmp && *tmp ? tmp : "/tmp";
    struct stat st;
    s.emplace(in_memory && ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : disk);
  }
  return *s;
}

// One in-memory file for the whole run, reached through its /proc path.
int memory_file() {
  static const int fd = memfd_create("output_tree_fuzz", 0);
  return fd;
}

std::FILE* quiet() {
  static std::FILE* const null = std::fopen("/dev/null", "w");
  return null;
}

void extract(const Bytes& bytes, const std::string& out) {
  const int fd = memory_file();
  if (fd < 0 || ftruncate(fd, 0) != 0) finding("no memory file");
  if (pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
    finding("cannot write the archive");
  auto archive = ixo::pack::Archive::open("/proc/self/fd/" + std::to_string(fd));
  if (!archive) return;
  auto list = ixo::cli::chosen_files(archive->snapshots, std::nullopt);
  if (!list) return;
  auto selection = ixo::cli::select_files(*list, {});
  if (!selection) return;
  const std::filesystem::path folder(out);
  if (auto ok = ixo::preflight::check(selection->entries, folder); !ok) return;
  const ixo::pack::RebuildOptions options{.diagnostics = quiet()};
  (void)ixo::pack::extract_selected(*archive, selection->entries, 1, folder, options);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* folder = std::getenv("IXO_OUTPUT_TREE_SEEDS")) {
    write_seeds(folder);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Tree tree = parse(data, size);
  if (tree.entries.empty()) return 0;
  const SentinelFolder& s = sentinel(tree.in_memory);
  extract(archive_of(tree), s.out());
  std::string found = s.changed_outside();
  if (found.empty()) found = s.escape_from_out();
  if (!found.empty()) finding(found + " (S, left as found, is " + s.root() + ")\n" + describe(tree));
  remove_tree(s.out());
  return 0;
}
