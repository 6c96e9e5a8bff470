#include "restore/publish.h"

#include "codec/codec.h"
#include "restore/output_path.h"
#include "restore/rebuild_run.h"
#include "platform/fs.h"
#include "util/text.h"

namespace ixo::pack {

namespace {
constexpr uint32_t NANOS_PER_SECOND = 1'000'000'000;
}

std::string staging_name(uint32_t pid, uint64_t n) { return cat(".ixo-restore-", pid, '-', n, ".tmp"); }

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

Result<PendingOutput> prepare_output(const std::filesystem::path& out, std::string_view path,
                                     uint64_t& next_staging) {
  Result<std::filesystem::path> final_path = output_path(out, path);
  if (!final_path) return fail(final_path.error());
  // Anything at all stands there (a dangling link too): never overwritten. A look-up that fails for another
  // reason than a missing name cannot tell, so it ends the run as well.
  Result<platform::Metadata> there = platform::symlink_metadata(*final_path);
  if (there) return fail(Error::message(ErrorKind::AlreadyExists, "output already exists"));
  if (there.error().kind() != ErrorKind::NotFound) return fail(there.error());
  const std::filesystem::path parent = final_path->parent_path();
  if (parent.empty()) return fail(codec::invalid("missing output parent"));

  for (int attempt = 0; attempt < STAGING_ATTEMPTS; ++attempt) {
    const uint64_t n = next_staging++;
    Result<platform::StagingFile> staging =
        platform::StagingFile::create(parent / staging_name(platform::process_id(), n));
    if (staging) return PendingOutput{std::move(*staging), std::move(*final_path)};
    if (staging.error().kind() != ErrorKind::AlreadyExists) return fail(staging.error());
  }
  return fail(Error::message(ErrorKind::AlreadyExists, "cannot allocate output staging file"));
}

Status publish(PendingOutput& pending, const format::FileEntry& entry) {
  Result<std::optional<platform::FileTime>> time = entry_time(entry);
  if (!time) return fail(time.error());
  if (Status ok = pending.staging.finish(*time, entry_mode(entry)); !ok) return ok;
  return pending.staging.link_as(pending.final_path);
}

}  // namespace ixo::pack
