#include "pipeline/block_decode.h"

#include <new>

#include "codec/codec.h"

namespace ixo::pack {

Status decode_block_into(const format::BlockInfo& info, std::span<const uint8_t> stored, std::vector<uint8_t>& out) {
  const Status decoded = [&]() -> Status {
    switch (info.codec) {
      case codec::CODEC_STORE:
        try {
          out.assign(stored.begin(), stored.end());
          return {};
        } catch (const std::bad_alloc&) {
          return fail(Error::bare(ErrorKind::OutOfMemory));
        }
      case codec::CODEC_ZSTD: return codec::zstd_frame_into(stored, info.raw_len, out);
      case codec::CODEC_LZMA2: return decode_lzma2_into(stored, info.raw_len, out);
      default: return decode_cm_into(stored, info.raw_len, out);
    }
  }();
  if (!decoded) return decoded;
  if (out.size() != info.raw_len) return fail(codec::invalid("block decoded to the wrong size"));
  return {};
}

Result<std::vector<uint8_t>> decode_block(const format::BlockInfo& info, std::span<const uint8_t> stored) {
  std::vector<uint8_t> out;
  if (Status ok = decode_block_into(info, stored, out); !ok) return fail(ok.error());
  return out;
}

}  // namespace ixo::pack
