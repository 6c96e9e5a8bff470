// ixo-pack-x86: packs a small folder like ixo-pack does, but stores x86 executables through the "bcj-x86"
// transform, so that a sample archive exercises it (test support).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/writer/archive_writer.h"
#include "transform/slots.h"

namespace {

using namespace ixo::test;

Meta meta_of(const struct stat& st) {
  return Meta{.mode = static_cast<uint32_t>(st.st_mode & 07777),
              .mtime = static_cast<int64_t>(st.st_mtim.tv_sec),
              .mtime_nanos = static_cast<uint32_t>(st.st_mtim.tv_nsec)};
}

bool read_all(const std::string& path, Bytes& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// Folders before their contents, names in byte order; hard links are not looked for.
bool walk(ArchiveBuilder& b, const std::string& dir, const std::string& prefix) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  std::vector<std::string> names;
  while (struct dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string full = dir + "/" + name;
    const std::string path = prefix.empty() ? name : prefix + "/" + name;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
      b.add(ArchiveBuilder::dir(path, meta_of(st)));
      if (!walk(b, full, path)) return false;
    } else if (S_ISLNK(st.st_mode)) {
      std::string target(4096, '\0');
      const ssize_t n = ::readlink(full.c_str(), target.data(), target.size());
      if (n < 0) return false;
      target.resize(static_cast<size_t>(n));
      b.add(ArchiveBuilder::symlink(path, target, meta_of(st)));
    } else if (S_ISREG(st.st_mode)) {
      Bytes content;
      if (!read_all(full, content)) return false;
      std::optional<Bytes> converted;
      if (ixo::transform::is_x86_executable(content)) converted = ixo::transform::encode_bcj_x86(content);
      if (converted) {
        b.add(b.transformed(path, transform_id::BcjX86, *converted, content.size(), digest_of(content), meta_of(st)));
      } else {
        b.add(b.file(path, content, meta_of(st)));
      }
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: ixo-pack-x86 FOLDER OUT.ixo SNAPSHOT-SECONDS\n");
    return 2;
  }
  ArchiveBuilder b({.version = 7, .codec = Codec::Zstd, .level = 19, .chunk_size = 1 << 20, .dedup = true});
  if (!walk(b, argv[1], "")) {
    std::perror(argv[1]);
    return 1;
  }
  b.snapshot(std::stoll(argv[3]));
  b.commit();
  if (auto saved = b.save(argv[2]); !saved) {
    std::fprintf(stderr, "%s: %s\n", argv[2], saved.error().to_string().c_str());
    return 1;
  }
  return 0;
}
