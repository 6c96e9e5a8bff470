// Opening archive bytes the writer made, with the warning that Archive::open gave.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "archive/archive.h"
#include "archive/read_index.h"
#include "support/writer/archive_writer.h"

namespace ixo::test {

inline std::filesystem::path temp_archive_path() {
  static std::atomic<int> n{0};
  return std::filesystem::path(testing::TempDir()) /
         ("open-" + std::to_string(getpid()) + "-" + std::to_string(n++) + ".ixo");
}

struct Opened {
  Result<pack::Archive> archive;
  std::string warning;  // empty also when the open failed

  std::string error() const { return archive ? "ok" : archive.error().to_string(); }
};

inline Opened open_bytes(std::span<const uint8_t> bytes) {
  const auto path = temp_archive_path();
  EXPECT_TRUE(write_file(path, bytes));
  auto archive = pack::Archive::open(path);
  std::filesystem::remove(path);
  std::string warning = archive ? archive->warning : std::string();
  return Opened{std::move(archive), std::move(warning)};
}

inline Opened open_built(const ArchiveBuilder& b) { return open_bytes(b.bytes()); }

// The merged index of the state ending at end, read without the fall-back of Archive::open.
inline Result<format::Index> index_at(const ArchiveBuilder& b, uint64_t end) {
  const auto path = temp_archive_path();
  EXPECT_TRUE(b.save(path));
  auto file = platform::File::open_read(path);
  std::filesystem::remove(path);
  if (!file) return fail(file.error());
  return pack::read_index_at(*file, end, b.options().version);
}

inline std::string interrupted_warning(uint64_t bytes) {
  return "warning: ignoring " + std::to_string(bytes) +
         " bytes left by an interrupted update; using the last complete state\n";
}

inline std::string intact_warning(const std::string& error) {
  return "warning: the newest index is intact but builds on a damaged one (" + error +
         "); using the last state that reads completely\n";
}

}  // namespace ixo::test
