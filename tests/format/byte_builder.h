// Little-endian bytes of index records, written by hand for the parser's tests.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/records.h"
#include "util/blake3.h"

namespace ixo::test::bytes {

class Builder {
 public:
  Builder& u8(uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  Builder& u32(uint32_t v) { return le(v, 4); }
  Builder& u64(uint64_t v) { return le(v, 8); }
  Builder& i64(int64_t v) { return le(static_cast<uint64_t>(v), 8); }
  Builder& raw(std::span<const uint8_t> b) {
    out_.insert(out_.end(), b.begin(), b.end());
    return *this;
  }
  Builder& raw(std::string_view s) {
    out_.insert(out_.end(), s.begin(), s.end());
    return *this;
  }
  Builder& str(std::string_view s) { return u32(static_cast<uint32_t>(s.size())).raw(s); }
  Builder& zeros(size_t n) {
    out_.insert(out_.end(), n, 0);
    return *this;
  }
  Builder& append(const Builder& other) { return raw(other.out_); }

  const std::vector<uint8_t>& data() const { return out_; }
  std::vector<uint8_t> take() { return std::move(out_); }
  size_t size() const { return out_.size(); }

 private:
  Builder& le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  std::vector<uint8_t> out_;
};

// A stored block record of a segment version (positions only from version 3).
inline Builder block(uint16_t version, uint8_t codec, uint64_t raw_len, uint64_t stored_len, uint64_t position = 8) {
  Builder b;
  b.u8(codec).u8(0).u64(raw_len).u64(stored_len);
  if (version >= 3) b.u64(position);
  return b;
}

// A stored chunk record: digest of the version's width, recipe (and base of a delta) from version 4.
inline Builder chunk(uint16_t version, uint32_t block, uint32_t offset, uint32_t length, uint8_t recipe = 0,
                     uint32_t base = 0, uint8_t digest_byte = 0) {
  Builder b;
  b.u32(block).u32(offset).u32(length);
  const size_t width = version <= 2 ? 0 : version <= 4 ? 16 : 32;
  for (size_t i = 0; i < width; ++i) b.u8(digest_byte);
  if (version >= 4) {
    b.u8(recipe);
    if (recipe >= 4) b.u32(base);
  }
  return b;
}

// The fields of a stored file entry; each is written only where the version and features store it.
struct EntryFields {
  std::string_view path = "f";
  uint64_t size = 0;
  int64_t mtime = 0;
  format::Digest digest{};
  uint8_t transform = 0;
  std::optional<uint64_t> stored_len;  // default: size
  std::vector<uint32_t> chunks;
  uint8_t kind = 0;
  uint32_t mode = 0644;
  uint32_t nanos = 0;
  std::string_view target;
};

inline Builder entry(uint16_t version, bool metadata, const EntryFields& f) {
  Builder b;
  b.str(f.path).u64(f.size).i64(f.mtime).raw(f.digest);
  if (version >= 2) b.u8(f.transform).u64(f.stored_len.value_or(f.size));
  b.u32(static_cast<uint32_t>(f.chunks.size()));
  for (uint32_t c : f.chunks) b.u32(c);
  if (metadata) {
    b.u8(f.kind).u32(f.mode).u32(f.nanos);
    if (f.kind == 2 || f.kind == 3) b.str(f.target);
  }
  return b;
}

// A directory, symbolic link or hard link as the metadata rules want them: no data, the empty digest.
inline EntryFields link_fields(std::string_view path, uint8_t kind, std::string_view target = {}) {
  EntryFields f;
  f.path = path;
  f.kind = kind;
  f.digest = blake3::empty_digest();
  f.target = target;
  return f;
}

}  // namespace ixo::test::bytes
