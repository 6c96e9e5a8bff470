#include "transform/lepton_header.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "codec/codec.h"
#include "util/text.h"

namespace ixo::transform {

namespace {

// Fixed header fields up to the u32 length of the compressed header at offset 24.
constexpr size_t FIXED_HEADER = 28;
constexpr size_t HEADER_LENGTH_AT = 24;
constexpr size_t INFLATE_PIECE = 64 * 1024;

Error damaged() { return codec::invalid(cat(JPEG_FAILED, "damaged Lepton header")); }

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Inflates one zlib stream, keeping at most limit bytes of its output: the output up to the stream's end, or
// limit bytes when it holds more; nothing when the stream is damaged or ends before its end.
std::optional<std::vector<uint8_t>> inflate_at_most(std::span<const uint8_t> in, uint64_t limit) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  struct End {
    z_stream* z;
    ~End() { inflateEnd(z); }
  } end{&z};
  z.next_in = const_cast<Bytef*>(in.data());  // zlib does not write its input
  z.avail_in = static_cast<uInt>(in.size());  // the length is a u32 field
  std::vector<uint8_t> out;
  while (out.size() < limit) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(INFLATE_PIECE, limit - out.size()));
    const size_t at = out.size();
    out.resize(at + piece);
    z.next_out = out.data() + at;
    z.avail_out = static_cast<uInt>(piece);
    const int rc = inflate(&z, Z_NO_FLUSH);
    out.resize(at + piece - z.avail_out);
    if (rc == Z_STREAM_END) return out;
    if (rc == Z_BUF_ERROR && z.avail_in == 0) return std::nullopt;  // input ended inside the stream
    if (rc != Z_OK && rc != Z_BUF_ERROR) return std::nullopt;
  }
  return out;
}

// The bounded take over the inflated header: every step of the walk takes n bytes or fails.
class Sections {
 public:
  explicit Sections(std::span<const uint8_t> data) : data_(data) {}
  size_t remaining() const { return data_.size() - pos_; }
  bool take(uint64_t n, const uint8_t** at = nullptr) {
    if (n > remaining()) return false;
    if (at) *at = data_.data() + pos_;
    pos_ += static_cast<size_t>(n);
    return true;
  }
  bool take_u32(uint32_t& v) {
    const uint8_t* p;
    if (!take(4, &p)) return false;
    v = le32(p);
    return true;
  }
  // A u32 count n and then n x unit bytes.
  bool take_counted(uint64_t unit) {
    uint32_t n;
    return take_u32(n) && take(uint64_t{n} * unit);
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

bool is_tag(const uint8_t* t, const char (&name)[4]) { return std::memcmp(t, name, 3) == 0; }

bool walk(std::span<const uint8_t> header) {
  Sections s(header);
  const uint8_t* tag;
  if (!s.take(3, &tag) || !is_tag(tag, "HDR") || !s.take_counted(1)) return false;
  while (s.remaining() >= 3) {
    s.take(3, &tag);
    bool ok;
    if (is_tag(tag, "CRS")) ok = s.take_counted(4);
    else if (is_tag(tag, "EEE")) ok = s.take(28);
    else if (is_tag(tag, "FRS") || is_tag(tag, "GRB")) ok = s.take_counted(1);
    else if (tag[0] == 'H' && tag[1] == 'H') ok = s.take(16 * uint64_t{tag[2]});
    else if (is_tag(tag, "P0D")) ok = s.take(1);
    else ok = false;
    if (!ok) return false;
  }
  return true;  // one or two bytes may trail the last section
}

}  // namespace

Status check_lepton_header(std::span<const uint8_t> stored, uint64_t size) {
  const uint64_t length = stored.size();
  if (length < FIXED_HEADER) return fail(damaged());
  const uint32_t h = le32(stored.data() + HEADER_LENGTH_AT);
  if (FIXED_HEADER + uint64_t{h} > length) return fail(damaged());

  // A hostile header cannot make the check hold more than twice the file plus a little.
  const uint64_t doubled = size > (UINT64_MAX - 65536) / 2 ? UINT64_MAX : 2 * size + 65536;
  const uint64_t keep = doubled == UINT64_MAX ? doubled : doubled + 1;
  auto header = inflate_at_most(stored.subspan(FIXED_HEADER, h), keep);
  if (!header || header->size() > doubled || !walk(*header)) return fail(damaged());
  return {};
}

}  // namespace ixo::transform
