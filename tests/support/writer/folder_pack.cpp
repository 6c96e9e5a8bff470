// Packing a folder tree into an archive: files, directories, symbolic links and hard links found by inode.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "util/blake3.h"
#include "support/writer/archive_writer.h"

namespace ixo::test {

namespace {

struct Walk {
  ArchiveBuilder& builder;
  bool metadata;
  std::map<std::pair<dev_t, ino_t>, std::string> first_path;  // inodes with more than one link
};

Meta meta_of(const struct stat& st) {
  return Meta{.mode = static_cast<uint32_t>(st.st_mode & 07777),
              .mtime = static_cast<int64_t>(st.st_mtim.tv_sec),
              .mtime_nanos = static_cast<uint32_t>(st.st_mtim.tv_nsec)};
}

Result<std::vector<std::string>> sorted_names(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return fail(Error::os(errno));
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* ent = readdir(d)) {
    std::string name = ent->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  int err = errno;
  closedir(d);
  if (err != 0) return fail(Error::os(err));
  std::sort(names.begin(), names.end());
  return names;
}

// The file's bytes go through put() piece by piece, so that a large file is never held whole.
Status add_regular(Walk& w, const std::string& full, std::string path, const struct stat& st) {
  int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(Error::os(errno));
  const size_t piece = std::max<uint32_t>(w.builder.options().chunk_size, 1);
  Bytes buf(piece);
  blake3::Hasher hasher;
  Entry e = ArchiveBuilder::dir(std::move(path), meta_of(st));
  e.kind = kind::Regular;
  for (;;) {
    size_t got = 0;
    while (got < piece) {
      ssize_t n = ::read(fd, buf.data() + got, piece - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        int err = errno;
        ::close(fd);
        return fail(Error::os(err));
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    if (got == 0) break;
    std::span<const uint8_t> data(buf.data(), got);
    hasher.update(data);
    for (uint32_t c : w.builder.put(data)) e.chunks.push_back(c);
    e.size += got;
    if (got < piece) break;
  }
  ::close(fd);
  e.stored_len = e.size;
  e.digest = hasher.finalize();
  w.builder.add(std::move(e));
  return {};
}

Status walk(Walk& w, const std::string& dir, const std::string& prefix) {
  auto names = sorted_names(dir);
  if (!names) return fail(names.error());
  for (const std::string& name : *names) {
    const std::string full = dir + "/" + name;
    const std::string path = prefix.empty() ? name : prefix + "/" + name;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) return fail(Error::os(errno));
    if (S_ISDIR(st.st_mode)) {
      if (w.metadata) w.builder.add(ArchiveBuilder::dir(path, meta_of(st)));
      if (Status s = walk(w, full, path); !s) return s;
    } else if (S_ISLNK(st.st_mode)) {
      if (!w.metadata) continue;
      std::string target(4096, '\0');
      ssize_t n = ::readlink(full.c_str(), target.data(), target.size());
      if (n < 0) return fail(Error::os(errno));
      target.resize(static_cast<size_t>(n));
      w.builder.add(ArchiveBuilder::symlink(path, std::move(target), meta_of(st)));
    } else if (S_ISREG(st.st_mode)) {
      if (st.st_nlink > 1) {
        auto key = std::make_pair(st.st_dev, st.st_ino);
        auto it = w.first_path.find(key);
        if (it != w.first_path.end() && w.metadata) {
          w.builder.add(ArchiveBuilder::hardlink(path, it->second, meta_of(st)));
          continue;
        }
        w.first_path.emplace(key, path);
      }
      if (Status s = add_regular(w, full, path, st); !s) return s;
    }
    // Sockets, pipes and devices have no place in an archive.
  }
  return {};
}

}  // namespace

Status add_folder(ArchiveBuilder& builder, const std::filesystem::path& folder) {
  const ArchiveOptions& o = builder.options();
  uint16_t v = o.segment_version.value_or(default_segment_version(o.version));
  Walk w{.builder = builder, .metadata = v >= 7, .first_path = {}};
  return walk(w, folder.string(), "");
}

Result<Bytes> pack_folder(const std::filesystem::path& folder, const PackOptions& options) {
  ArchiveBuilder b({.version = options.version,
                    .codec = options.codec,
                    .level = options.level,
                    .block_size = options.block_size,
                    .chunk_size = options.chunk_size,
                    .dedup = options.dedup,
                    .retain_blocks = false});
  if (Status s = add_folder(b, folder); !s) return fail(s.error());
  b.snapshot(options.time);
  b.commit();
  return std::move(b.mutable_bytes());
}

Status pack_folder_to(const std::filesystem::path& folder, const std::filesystem::path& out,
                      const PackOptions& options) {
  auto bytes = pack_folder(folder, options);
  if (!bytes) return fail(bytes.error());
  return write_file(out, *bytes);
}

}  // namespace ixo::test
