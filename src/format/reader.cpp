#include "format/reader.h"

#include "codec/codec.h"

namespace ixo::format {

Error truncated() { return codec::invalid("archive metadata is truncated"); }

Result<std::span<const uint8_t>> Reader::take(uint64_t n) {
  if (n > remaining()) return fail(truncated());
  auto view = data_.subspan(pos_, n);
  pos_ += n;
  return view;
}

Result<uint8_t> Reader::u8() {
  auto b = take(1);
  if (!b) return fail(b.error());
  return (*b)[0];
}

Result<uint32_t> Reader::u32() {
  auto b = take(4);
  if (!b) return fail(b.error());
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | (*b)[i];
  return v;
}

Result<uint64_t> Reader::u64() {
  auto b = take(8);
  if (!b) return fail(b.error());
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | (*b)[i];
  return v;
}

Result<int64_t> Reader::i64() {
  auto v = u64();
  if (!v) return fail(v.error());
  return static_cast<int64_t>(*v);
}

Result<std::string> Reader::str() {
  auto len = u32();
  if (!len) return fail(len.error());
  auto bytes = take(*len);
  if (!bytes) return fail(bytes.error());
  if (!is_utf8(*bytes)) return fail(codec::invalid("file name is not UTF-8"));
  return std::string(bytes->begin(), bytes->end());
}

bool is_utf8(std::span<const uint8_t> s) {
  size_t i = 0;
  while (i < s.size()) {
    const uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000)) return false;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace ixo::format
