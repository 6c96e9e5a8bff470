// What the first bytes of a zstd frame tell before the whole frame is read.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_isFrame
#include <zstd.h>

#include <algorithm>
#include <array>
#include <vector>

#include "codec/codec.h"

namespace ixo::codec {

bool zstd_frame_may_give(std::span<const uint8_t> head, uint64_t expected) {
  // Shorter than a magic number: the decoder would find the input ended (or not a frame) either way.
  if (!ZSTD_isFrame(head.data(), head.size())) return false;
  // Only a current frame is judged by its declared length: the decoder enforces it, and legacy and
  // skippable frames are left to the decoder.
  const uint32_t magic = uint32_t(head[0]) | uint32_t(head[1]) << 8 | uint32_t(head[2]) << 16 | uint32_t(head[3]) << 24;
  if (magic != ZSTD_MAGICNUMBER) return true;
  const unsigned long long declared = ZSTD_getFrameContentSize(head.data(), head.size());
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR) return true;
  return declared == expected;
}

namespace {

// Block headers are read through a window of the stretch, so that many small blocks cost few reads.
class HeaderReader {
 public:
  HeaderReader(uint64_t limit, const ReadAt& read) : limit_(limit), read_(read) {}

  // The 3 bytes at pos, or nothing when they cannot be read.
  std::optional<uint32_t> block_header(uint64_t pos) {
    if (pos < start_ || pos + 3 > start_ + buf_.size()) {
      buf_.resize(static_cast<size_t>(std::min<uint64_t>(WINDOW, limit_ - pos)));
      start_ = pos;
      if (!read_(pos, buf_)) return std::nullopt;
    }
    const uint8_t* p = buf_.data() + (pos - start_);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
  }

 private:
  static constexpr uint64_t WINDOW = 64 << 10;
  uint64_t limit_;
  const ReadAt& read_;
  uint64_t start_ = 0;
  std::vector<uint8_t> buf_;
};

}  // namespace

std::optional<uint64_t> zstd_frame_span(uint64_t limit, const ReadAt& read) {
  std::array<uint8_t, ZSTD_HEAD_BYTES> head{};
  const size_t n = static_cast<size_t>(std::min<uint64_t>(limit, head.size()));
  if (n < 5) return std::nullopt;
  if (!read(0, std::span(head).first(n))) return std::nullopt;
  const uint32_t magic = uint32_t(head[0]) | uint32_t(head[1]) << 8 | uint32_t(head[2]) << 16 | uint32_t(head[3]) << 24;
  if (magic != ZSTD_MAGICNUMBER) return std::nullopt;

  // Frame header: descriptor, window descriptor unless single-segment, dictionary id, content size.
  const uint8_t fhd = head[4];
  const bool single_segment = (fhd >> 5) & 1;
  const bool checksum = (fhd >> 2) & 1;
  static constexpr uint64_t DICT_ID_BYTES[4] = {0, 1, 2, 4};
  static constexpr uint64_t CONTENT_SIZE_BYTES[4] = {0, 2, 4, 8};
  const uint64_t content_size_bytes = (fhd >> 6) == 0 ? (single_segment ? 1 : 0) : CONTENT_SIZE_BYTES[fhd >> 6];
  uint64_t pos = 5 + (single_segment ? 0 : 1) + DICT_ID_BYTES[fhd & 3] + content_size_bytes;

  // Blocks: a 3-byte header (last flag, type, size), then size bytes, or one byte for a repeated byte. The
  // decoder refuses the reserved type, and a frame that ends before or after the stretch fails it.
  HeaderReader reader(limit, read);
  for (;;) {
    if (pos > limit || limit - pos < 3) return NO_FRAME_FITS;
    const std::optional<uint32_t> header = reader.block_header(pos);
    if (!header) return std::nullopt;
    const bool last = *header & 1;
    const uint32_t type = (*header >> 1) & 3;
    if (type == 3) return NO_FRAME_FITS;
    pos += 3 + (type == 1 ? 1 : (*header >> 3));
    if (last) {
      pos += checksum ? 4 : 0;
      return pos <= limit ? pos : NO_FRAME_FITS;
    }
  }
}

}  // namespace ixo::codec
