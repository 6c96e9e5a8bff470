// Small pieces of the container: digests, footer magics, the version pairing and the footer record.
#include <algorithm>

#include "util/blake3.h"
#include "support/writer/archive_writer.h"
#include "support/writer/le_bytes.h"

namespace ixo::test {

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

Digest digest_of(std::span<const uint8_t> data) { return blake3::hash(data); }

const Digest& empty_digest() { return blake3::empty_digest(); }

Magic footer_magic(uint16_t segment_version) {
  uint16_t digit = segment_version <= 2 ? 2 : segment_version;
  return {'I', 'X', 'O', static_cast<uint8_t>('0' + std::min<uint16_t>(digit, 9))};
}

uint16_t default_segment_version(uint16_t header_version) {
  if (header_version == 0) return 1;
  return std::min<uint16_t>(header_version, 7);
}

Bytes encode_footer(const FooterRecord& footer) {
  Bytes out;
  out.reserve(FOOTER_LEN);
  le::u64(out, footer.index_offset);
  le::u64(out, footer.stored_len);
  le::u64(out, footer.raw_len);
  le::raw(out, footer.digest);
  le::raw(out, footer.magic);
  return out;
}

}  // namespace ixo::test
