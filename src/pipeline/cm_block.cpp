#include <ixo_cm.h>

#include <new>

#include "codec/codec.h"
#include "pipeline/block_decode.h"

namespace ixo::pack {
namespace {

Error engine_error(ixo_cm_status rc) {
  switch (rc) {
    case IXO_CM_NOT_A_STREAM: return codec::invalid("not a valid engine stream");
    case IXO_CM_CORRUPT: return codec::invalid("engine stream is corrupt (checksum mismatch)");
    case IXO_CM_OUT_OF_MEMORY: return codec::invalid("engine ran out of memory");
    case IXO_CM_OUTPUT_TOO_SMALL: return codec::invalid("engine output buffer too small");
    default: return codec::invalid("engine rejected its arguments");
  }
}

}  // namespace

Status decode_cm_into(std::span<const uint8_t> stored, uint64_t raw_len, std::vector<uint8_t>& out) {
  // An empty stored block is a stream too short to be one, not a missing argument.
  static constexpr uint8_t none = 0;
  const uint8_t* src = stored.empty() ? &none : stored.data();

  uint64_t size = 0;
  if (const ixo_cm_status rc = ixo_cm_decompressed_size(src, stored.size(), &size); rc != IXO_CM_OK)
    return fail(engine_error(rc));
  if (size != raw_len) return fail(codec::invalid("engine stream has an unexpected size"));

  try {
    out.resize(raw_len);  // written over, not cleared: only bytes beyond what out held are new
  } catch (const std::bad_alloc&) {
    return fail(Error::bare(ErrorKind::OutOfMemory));
  }
  size_t written = 0;
  if (const ixo_cm_status rc = ixo_cm_decompress(src, stored.size(), out.data(), out.size(), &written);
      rc != IXO_CM_OK)
    return fail(engine_error(rc));
  if (written < out.size()) out.resize(written);
  return {};
}

Result<std::vector<uint8_t>> decode_cm(std::span<const uint8_t> stored, uint64_t raw_len) {
  std::vector<uint8_t> out;
  if (Status ok = decode_cm_into(stored, raw_len, out); !ok) return fail(ok.error());
  return out;
}

}  // namespace ixo::pack
