#include "archive/segment.h"

#include <algorithm>
#include <cstring>

#include "codec/codec.h"
#include "format/try.h"
#include "util/blake3.h"

namespace ixo::pack {

namespace {

uint64_t le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool is_magic(const std::array<uint8_t, 4>& m, char digit) {
  return m[0] == 'I' && m[1] == 'X' && m[2] == 'O' && m[3] == static_cast<uint8_t>(digit);
}

}  // namespace

Footer Footer::decode(const std::array<uint8_t, FOOTER_BYTES>& b) {
  Footer f;
  f.index_offset = le64(&b[0]);
  f.stored_len = le64(&b[8]);
  f.raw_len = le64(&b[16]);
  std::copy(b.begin() + 24, b.begin() + 40, f.digest.begin());
  std::copy(b.begin() + 40, b.end(), f.magic.begin());
  return f;
}

std::optional<uint16_t> segment_version(uint16_t header_version, const std::array<uint8_t, 4>& magic) {
  // From version 4 on a segment has the header's version; older headers take version 3 segments, and
  // version 1 and 2 headers their own version under the oldest magic.
  for (uint16_t v = 7; v >= 4; --v)
    if (header_version == v && is_magic(magic, static_cast<char>('0' + v))) return v;
  if (header_version <= 3 && is_magic(magic, '3')) return uint16_t{3};
  if (header_version >= 1 && header_version <= 2 && is_magic(magic, '2')) return header_version;
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
