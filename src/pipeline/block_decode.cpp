#include "pipeline/block_decode.h"

#include <new>

#include "codec/codec.h"

namespace ixo::pack {

Result<std::vector<uint8_t>> decode_block(const format::BlockInfo& info, std::span<const uint8_t> stored) {
  Result<std::vector<uint8_t>> decoded = [&]() -> Result<std::vector<uint8_t>> {
    switch (info.codec) {
      case codec::CODEC_STORE:
        try {
          return std::vector<uint8_t>(stored.begin(), stored.end());
        } catch (const std::bad_alloc&) {
          return fail(Error::bare(ErrorKind::OutOfMemory));
        }
      case codec::CODEC_ZSTD: return codec::zstd_frame(stored, info.raw_len);
      case codec::CODEC_LZMA2: return decode_lzma2(stored, info.raw_len);
      default: return decode_cm(stored, info.raw_len);
    }
  }();
  if (decoded && decoded->size() != info.raw_len) return fail(codec::invalid("block decoded to the wrong size"));
  return decoded;
}

}  // namespace ixo::pack
