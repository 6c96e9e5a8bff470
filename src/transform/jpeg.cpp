// The "jpeg" row: JPEG files held as lepton_jpeg 0.5.3 containers.
#include "transform/bounded_decode.h"
#include "transform/bridge_call.h"
#include "transform/lepton_header.h"
#include "transform/slots.h"

namespace ixo::transform {

bool is_jpeg(std::span<const uint8_t> data) {
  return data.size() >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

// The container may not be longer than the JPEG itself, and must rebuild it.
std::optional<Bytes> encode_jpeg(std::span<const uint8_t> data) {
  LimitedVec out(data.size());
  out.reserve(data.size());
  auto container = run_encoder(ixo_lepton_encode, data, out);
  if (!container || !rebuilds_exactly(decode_jpeg, *container, data)) return std::nullopt;
  return container;
}

bool jpeg_worth_keeping(uint64_t size, uint64_t stored_len) { return stored_len < size && size - stored_len > 32; }

Result<Bytes> decode_jpeg(std::span<const uint8_t> stored, uint64_t size) {
  if (auto checked = check_lepton_header(stored, size); !checked) return fail(checked.error());
  return run_bounded(ixo_lepton_decode, stored, size, JPEG_FAILED, jpeg_bound(stored.size(), size));
}

}  // namespace ixo::transform
