#include "util/human.h"
#include "platform/fs.h"
#include "util/lossy_text.h"
#include "preflight/preflight.h"
#include "util/text.h"

namespace ixo::preflight {

namespace {

constexpr uint64_t MARGIN = 16ull << 20;

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

uint64_t required_space(pack::Selection files) {
  // The output sizes count, not the stored bytes: many files may share one deduplicated chunk.
  uint64_t needed = 0;
  for (const format::FileEntry* e : files)
    if (e->kind == format::Regular) needed = saturating_add(needed, e->size);
  return saturating_add(saturating_add(needed, needed / 100), MARGIN);
}

Status check_free_space(pack::Selection files, const std::filesystem::path& anchor) {
  const Result<uint64_t> free = platform::free_space(anchor);
  if (!free) return {};
  const uint64_t required = required_space(files);
  if (required <= *free) return {};
  return ixo::fail(Error::message(ErrorKind::StorageFull,
                                  cat("extracting needs about ", pack::human(required), " but only ",
                                      pack::human(*free), " is free at ", lossy_utf8(anchor.native()),
                                      "; nothing was extracted")));
}

}  // namespace ixo::preflight
