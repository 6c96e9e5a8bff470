#include "lepton_edit.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

namespace ixo::test {

namespace {

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

Bytes inflate_all(const uint8_t* data, size_t len) {
  z_stream z{};
  EXPECT_EQ(inflateInit(&z), Z_OK);
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = uInt(len);
  Bytes out;
  int rc = Z_OK;
  while (rc == Z_OK) {
    uint8_t buf[4096];
    z.next_out = buf;
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
  }
  EXPECT_EQ(rc, Z_STREAM_END);
  inflateEnd(&z);
  return out;
}

// How many body bytes follow a tag at p (the count fields are part of the body).
size_t body_length(const Bytes& h, size_t p) {
  const std::string tag(h.begin() + p, h.begin() + p + 3);
  const uint8_t* after = h.data() + p + 3;
  if (tag == "HDR" || tag == "FRS" || tag == "GRB") return 4 + le32(after);
  if (tag == "CRS") return 4 + 4 * size_t(le32(after));
  if (tag == "EEE") return 28;
  if (tag == "P0D") return 1;
  if (tag[0] == 'H' && tag[1] == 'H') return 16 * size_t(uint8_t(tag[2]));
  ADD_FAILURE() << "unknown section " << tag;
  return h.size() - p - 3;
}

}  // namespace

LeptonParts split_lepton(const Bytes& container) {
  LeptonParts parts;
  EXPECT_GE(container.size(), 28u);
  parts.fixed.assign(container.begin(), container.begin() + 24);
  const uint32_t h = le32(container.data() + 24);
  const Bytes header = inflate_all(container.data() + 28, h);
  parts.rest.assign(container.begin() + 28 + h, container.end());
  for (size_t p = 0; p + 3 <= header.size();) {
    const size_t n = body_length(header, p);
    parts.sections.push_back({std::string(header.begin() + p, header.begin() + p + 3),
                              Bytes(header.begin() + p + 3, header.begin() + p + 3 + n)});
    p += 3 + n;
  }
  return parts;
}

Bytes join_lepton(const LeptonParts& parts) {
  Bytes header;
  for (const auto& s : parts.sections) {
    header.insert(header.end(), s.tag.begin(), s.tag.end());
    header.insert(header.end(), s.body.begin(), s.body.end());
  }
  const Bytes z = zlib_of(header);
  Bytes out = parts.fixed;
  const uint32_t h = uint32_t(z.size());
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(h >> (8 * i)));
  out.insert(out.end(), z.begin(), z.end());
  out.insert(out.end(), parts.rest.begin(), parts.rest.end());
  return out;
}

}  // namespace ixo::test
