#include "archive/segment.h"

#include <algorithm>

#include "codec/codec.h"
#include "format/reader.h"
#include "format/try.h"
#include "format/versions.h"
#include "util/blake3.h"

namespace ixo::pack {

Footer Footer::decode(const std::array<uint8_t, FOOTER_BYTES>& b) {
  // The 44 bytes hold every field, so no read runs short.
  format::Reader r(b);
  Footer f;
  f.index_offset = r.u64().value();
  f.stored_len = r.u64().value();
  f.raw_len = r.u64().value();
  const std::span<const uint8_t> digest = r.take(f.digest.size()).value();
  std::copy(digest.begin(), digest.end(), f.digest.begin());
  const std::span<const uint8_t> magic = r.take(f.magic.size()).value();
  std::copy(magic.begin(), magic.end(), f.magic.begin());
  return f;
}

std::optional<uint16_t> segment_version(uint16_t header_version, const std::array<uint8_t, 4>& magic) {
  const std::optional<uint16_t> named = format::footer_magic_version(magic.data());
  if (!named) return std::nullopt;
  // From SEGMENT_OWN_VERSION on a segment has the header's version; older headers take segments of
  // SEGMENT_SHARED_VERSION, and those of the oldest magic's versions their own version under that magic.
  if (header_version >= format::SEGMENT_OWN_VERSION) {
    if (*named == header_version) return named;
    return std::nullopt;
  }
  if (*named == format::SEGMENT_SHARED_VERSION) return named;
  if (*named == format::OLDEST_MAGIC_VERSION && header_version >= format::MIN_VERSION &&
      header_version <= format::OLDEST_MAGIC_VERSION)
    return header_version;
  return std::nullopt;
}

bool index_location_ok(const Footer& f, uint64_t end) {
  return f.index_offset <= UINT64_MAX - f.stored_len && f.stored_len <= MAX_SEGMENT_LEN &&
         f.index_offset >= HEADER_BYTES && end >= FOOTER_BYTES && f.index_offset + f.stored_len <= end - FOOTER_BYTES &&
         f.raw_len <= MAX_SEGMENT_LEN;
}

Result<Footer> read_footer(const platform::File& file, uint64_t end) {
  if (end < MIN_ARCHIVE_BYTES) return fail(codec::invalid("archive footer is damaged"));
  std::array<uint8_t, FOOTER_BYTES> raw{};
  IXO_CHECK(file.read_exact_at(end - FOOTER_BYTES, raw));
  return Footer::decode(raw);
}

Result<Segment> decode_segment(const Footer& f, uint16_t version, std::span<const uint8_t> stored) {
  IXO_TRY(data, codec::zstd_frame(stored, f.raw_len));
  if (data->size() != f.raw_len) return fail(codec::invalid("archive index size mismatch"));
  return Segment{std::move(*data), f.index_offset, version};
}

Result<Segment> read_segment(const platform::File& file, uint64_t end, uint16_t header_version) {
  IXO_TRY(f, read_footer(file, end));
  const auto version = segment_version(header_version, f->magic);
  if (!version) return fail(codec::invalid("archive footer is damaged"));

  if (!index_location_ok(*f, end)) return fail(codec::invalid("bad index location"));

  std::vector<uint8_t> stored(f->stored_len);
  IXO_CHECK(file.read_exact_at(f->index_offset, stored));
  const blake3::Digest digest = blake3::hash(stored);
  if (!std::equal(f->digest.begin(), f->digest.end(), digest.begin()))
    return fail(codec::invalid("archive index checksum mismatch"));
  return decode_segment(*f, *version, stored);
}

}  // namespace ixo::pack
