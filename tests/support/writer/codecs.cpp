// Stored forms of block payloads and index segments: zstd frames, .xz streams and stored-mode IXCM streams.
#include <lzma.h>
#include <zstd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "support/writer/archive_writer.h"
#include "support/writer/le_bytes.h"

namespace ixo::test {

Bytes zstd_frame(std::span<const uint8_t> data, int level) {
  Bytes out(ZSTD_compressBound(data.size()));
  size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), level);
  if (ZSTD_isError(n)) {
    std::fprintf(stderr, "archive writer: zstd: %s\n", ZSTD_getErrorName(n));
    std::abort();
  }
  out.resize(n);
  return out;
}

Bytes xz_stream(std::span<const uint8_t> data, uint32_t preset) {
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_easy_encoder(&strm, preset, LZMA_CHECK_CRC64) != LZMA_OK) {
    std::fprintf(stderr, "archive writer: cannot make an xz encoder\n");
    std::abort();
  }
  Bytes out(lzma_stream_buffer_bound(data.size()));
  strm.next_in = data.data();
  strm.avail_in = data.size();
  strm.next_out = out.data();
  strm.avail_out = out.size();
  lzma_ret rc;
  do {
    rc = lzma_code(&strm, LZMA_FINISH);
  } while (rc == LZMA_OK);
  size_t written = out.size() - strm.avail_out;
  lzma_end(&strm);
  if (rc != LZMA_STREAM_END) {
    std::fprintf(stderr, "archive writer: xz encoding failed (%d)\n", static_cast<int>(rc));
    std::abort();
  }
  out.resize(written);
  return out;
}

uint32_t crc32(std::span<const uint8_t> data) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : data) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

Bytes cm_stored_stream(std::span<const uint8_t> data) {
  Bytes out{'I', 'X', 'C', 'M'};
  le::u8(out, 1);  // profile
  le::u8(out, 0);  // stored mode
  le::u8(out, 1);  // level
  le::u8(out, 0);
  le::u64(out, data.size());
  le::u32(out, crc32(data));
  le::raw(out, data);
  return out;
}

}  // namespace ixo::test
