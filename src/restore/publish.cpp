#include "restore/publish.h"

#include "codec/codec.h"
#include "restore/rebuild_run.h"
#include "util/text.h"

namespace ixo::pack {

namespace {
constexpr uint32_t NANOS_PER_SECOND = 1'000'000'000;
}

std::string staging_name(uint32_t pid, uint64_t n) { return cat(STAGING_PREFIX, pid, '-', n, ".tmp"); }

Result<std::optional<platform::FileTime>> entry_time(const format::FileEntry& entry) {
  if (entry.mtime < 1) return std::nullopt;
  int64_t seconds;
  if (__builtin_add_overflow(entry.mtime, static_cast<int64_t>(entry.mtime_nanos / NANOS_PER_SECOND), &seconds))
    return fail(codec::invalid("file timestamp is outside the platform range"));
  return platform::FileTime{seconds, entry.mtime_nanos % NANOS_PER_SECOND};
}

std::optional<uint32_t> entry_mode(const format::FileEntry& entry) {
  if (entry.mode == format::NO_MODE) return std::nullopt;
  return entry.mode & 0777;
}

Result<platform::StagingFile> create_staging(const std::shared_ptr<const HeldFolder>& folder, StagingState& state) {
  const std::shared_ptr<const platform::File> dir(folder, &folder->dir);
  // Without a name nothing can be left behind; any refusal falls back to the named staging file, whose own
  // errors are then the ones reported.
  if (Result<platform::StagingFile> unnamed = platform::StagingFile::create_unnamed(dir, state.unnamed)) return unnamed;
  for (int attempt = 0; attempt < STAGING_ATTEMPTS; ++attempt) {
    const uint64_t n = state.next_staging++;
    Result<platform::StagingFile> staging = platform::StagingFile::create_at(dir, staging_name(state.pid, n));
    if (staging) return staging;
    if (staging.error().kind() != ErrorKind::AlreadyExists) return fail(staging.error());
  }
  return fail(Error::message(ErrorKind::AlreadyExists, "cannot allocate output staging file"));
}

Status finish_before_flush(platform::StagingFile& staging, const format::FileEntry& entry) {
  Result<std::optional<platform::FileTime>> time = entry_time(entry);
  if (!time) return fail(time.error());
  return staging.prepare(*time, entry_mode(entry));
}

}  // namespace ixo::pack
