#include "format/file_entry.h"

#include <algorithm>

#include "codec/codec.h"
#include "format/reserve_hint.h"
#include "format/try.h"
#include "transform/registry.h"
#include "util/blake3.h"

namespace ixo::format {

namespace {

constexpr uint32_t MAX_MODE = 07777;
constexpr uint32_t NANOS_PER_SECOND = 1'000'000'000;
constexpr size_t MAX_LINK_TARGET = 4096;

Status check_transform(const FileEntry& e, uint16_t version) {
  if (e.transform == 0) {
    if (e.size != e.stored_len) return fail(codec::invalid("untransformed file size mismatch"));
    return {};
  }
  const transform::TransformSpec* row = transform::find(e.transform);
  if (row == nullptr || version < row->min_format_version) return fail(codec::invalid("unknown file transform"));
  if (e.size > row->max_size || e.stored_len > row->max_stored_len)
    return fail(codec::invalid("transformed file exceeds resource limits"));
  if (e.stored_len > e.size && !row->may_expand)
    return fail(codec::invalid("transformed file expands a non-expanding transform"));
  if (e.stored_len != e.size && row->length_preserving)
    return fail(codec::invalid("transformed file changes a length-preserving transform"));
  return {};
}

}  // namespace

Result<FileEntry> read_file_entry(Reader& r, uint16_t version, bool has_metadata, std::span<const ChunkRef> chunks) {
  FileEntry e;
  IXO_TRY(path, r.str());
  e.path = std::move(*path);
  IXO_TRY(size, r.u64());
  e.size = *size;
  IXO_TRY(mtime, r.i64());
  e.mtime = *mtime;
  IXO_TRY(digest, r.take(e.digest.size()));
  std::copy(digest->begin(), digest->end(), e.digest.begin());
  // Version 1 stores neither a transform nor a stored length: the stored form is the file itself.
  if (version >= 2) {
    IXO_TRY(transform, r.u8());
    e.transform = *transform;
    IXO_TRY(stored_len, r.u64());
    e.stored_len = *stored_len;
  } else {
    e.stored_len = e.size;
  }
  IXO_CHECK(check_transform(e, version));

  IXO_TRY(count, r.u32());
  e.chunks.reserve(reserve_hint(*count, MAX_CHUNK_INDEX_RESERVE, r.remaining(), 4));
  uint64_t sum = 0;  // at most 2^32 lengths of at most 2^32 - 1: cannot wrap
  for (uint32_t i = 0; i < *count; ++i) {
    IXO_TRY(index, r.u32());
    if (*index >= chunks.size()) return fail(codec::invalid("file refers to a missing chunk"));
    e.chunks.push_back(*index);
    sum += chunks[*index].length;
  }
  if (sum != e.stored_len) return fail(codec::invalid("file size does not match its chunks"));

  if (!has_metadata) return e;
  IXO_TRY(kind, r.u8());
  e.kind = *kind;
  IXO_TRY(mode, r.u32());
  e.mode = *mode;
  IXO_TRY(nanos, r.u32());
  e.mtime_nanos = *nanos;
  if (e.kind == Symlink || e.kind == HardLink) {
    IXO_TRY(target, r.str());
    e.link_target = std::move(*target);
  }
  IXO_CHECK(check_metadata(e));
  return e;
}

Status check_metadata(const FileEntry& e) {
  if (e.kind > HardLink) return fail(codec::invalid("unknown entry kind"));
  if (e.mode > MAX_MODE && e.mode != NO_MODE) return fail(codec::invalid("invalid permission bits"));
  if (e.mtime_nanos >= NANOS_PER_SECOND) return fail(codec::invalid("invalid sub-second timestamp"));
  if (e.kind == Regular) return {};
  if (e.size != 0 || e.stored_len != 0 || e.transform != 0 || e.digest != blake3::empty_digest())
    return fail(codec::invalid("directories and links carry no data"));
  if (e.kind == Directory) return {};
  if (e.link_target.empty() || e.link_target.size() > MAX_LINK_TARGET ||
      e.link_target.find('\0') != std::string::npos)
    return fail(codec::invalid("invalid link target"));
  return {};
}

}  // namespace ixo::format
