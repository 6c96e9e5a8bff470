#include "ixo_cm.h"

#include <cstring>
#include <memory>

#include "arithmetic_decoder.h"
#include "crc32.h"
#include "decompress.h"
#include "model.h"
#include "stream_header.h"

namespace ixo::cm {
namespace {

// Builds the model under the gate and decodes; any failure to build is out of memory.
ixo_cm_status decode_with_model(const StreamHeader& h, const uint8_t* payload, size_t payload_len, uint8_t* dst,
                                size_t n, MemoryGate& gate) {
  try {
    const MemoryGate::Lease lease = gate.acquire(Model::memory_bytes(h.level, n, h.profile));
    const auto model = std::make_unique<Model>(h.level, n, h.profile);
    decode_modelled(*model, payload, payload_len, dst, n);
  } catch (...) {
    return IXO_CM_OUT_OF_MEMORY;
  }
  return IXO_CM_OK;
}

}  // namespace

ixo_cm_status decompress(const uint8_t* src, size_t src_len, uint8_t* dst, size_t dst_cap, size_t* out_len,
                         MemoryGate& gate) noexcept {
  if (out_len == nullptr || src == nullptr) return IXO_CM_INVALID_ARGUMENT;
  if (dst == nullptr && dst_cap != 0) return IXO_CM_INVALID_ARGUMENT;
  StreamHeader h;
  if (!parse_header(src, src_len, h)) return IXO_CM_NOT_A_STREAM;
  if ((h.length >> 32) != 0) return IXO_CM_OUTPUT_TOO_SMALL;
  const size_t n = static_cast<size_t>(h.length);
  if (n > dst_cap) return IXO_CM_OUTPUT_TOO_SMALL;
  const uint8_t* payload = src + kHeaderSize;
  const size_t payload_len = src_len - kHeaderSize;

  if (h.mode == Mode::Stored) {
    if (payload_len < n) return IXO_CM_CORRUPT;
    if (n != 0) std::memcpy(dst, payload, n);
  } else {
    const ixo_cm_status rc = decode_with_model(h, payload, payload_len, dst, n, gate);
    if (rc != IXO_CM_OK) return rc;
  }
  // dst keeps what was decoded even on a mismatch; callers never use it after a failure.
  const uint32_t crc = n == 0 ? 0u : crc32(dst, n);
  if (crc != h.crc) return IXO_CM_CORRUPT;
  *out_len = n;
  return IXO_CM_OK;
}

}  // namespace ixo::cm

extern "C" ixo_cm_status ixo_cm_decompressed_size(const uint8_t* src, size_t src_len, uint64_t* out_size) {
  if (src == nullptr || out_size == nullptr) return IXO_CM_INVALID_ARGUMENT;
  ixo::cm::StreamHeader h;
  if (!ixo::cm::parse_header(src, src_len, h)) return IXO_CM_NOT_A_STREAM;
  *out_size = h.length;
  return IXO_CM_OK;
}

extern "C" ixo_cm_status ixo_cm_decompress(const uint8_t* src, size_t src_len, uint8_t* dst, size_t dst_cap,
                                           size_t* out_len) {
  return ixo::cm::decompress(src, src_len, dst, dst_cap, out_len, ixo::cm::MemoryGate::process());
}
