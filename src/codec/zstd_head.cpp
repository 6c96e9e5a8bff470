// What the first bytes of a zstd frame tell before the whole frame is read.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_isFrame
#include <zstd.h>

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

}  // namespace ixo::codec
