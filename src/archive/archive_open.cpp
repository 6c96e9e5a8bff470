// Opening an archive: header, newest state, and the fall-back to the last state that reads completely.
#include <string>

#include "codec/codec.h"
#include "format/try.h"
#include "format/versions.h"
#include "archive/archive.h"
#include "archive/read_index.h"
#include "archive/recovery.h"
#include "archive/segment.h"
#include "util/text.h"

namespace ixo::pack {

Result<Archive> Archive::open(const std::filesystem::path& path) {
  IXO_TRY(file, platform::File::open_read(path));
  IXO_TRY(len, file->size());
  if (*len < MIN_ARCHIVE_BYTES) return fail(codec::invalid("not an ixo archive"));
  std::array<uint8_t, HEADER_BYTES> header{};
  IXO_CHECK(file->read_exact_at(0, header));
  if (!std::equal(format::HEADER_MAGIC.begin(), format::HEADER_MAGIC.end(), header.begin()))
    return fail(codec::invalid("not an ixo archive"));
  const uint16_t version = static_cast<uint16_t>(header[4] | (header[5] << 8));
  if (version < format::MIN_VERSION || version > format::MAX_VERSION)
    return fail(codec::unsupported(cat("this archive uses ixo format v", version, ", and this ixo reads v",
                                       format::MIN_VERSION, " to v", format::MAX_VERSION,
                                       " (made by a newer ixo?)")));

  auto newest = read_index_at(*file, *len, version);
  if (newest) return Archive(std::move(*newest), std::move(*file), *len, version);

  // Any failure of the newest state, an Unsupported one included, gives way to the last complete state.
  Error first = std::move(newest.error());
  auto earlier = find_earlier_footer(*file, *len, version);
  if (!earlier) return fail(std::move(first));
  // Whether the newest footer and segment still verify tells an interrupted update from a damaged base.
  std::string warning;
  if (!read_segment(*file, *len, version)) {
    warning = cat("warning: ignoring ", *len - earlier->end,
                  " bytes left by an interrupted update; using the last complete state\n");
  } else {
    warning = cat("warning: the newest index is intact but builds on a damaged one (", first.to_string(),
                  "); using the last state that reads completely\n");
  }
  Archive archive(std::move(earlier->index), std::move(*file), *len, version);
  archive.warning = std::move(warning);
  return archive;
}

}  // namespace ixo::pack
