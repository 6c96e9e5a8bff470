// The "preflate" row: files whose deflate streams are held expanded in a preflate-rs 0.7.1 container.
#include "transform/bounded_decode.h"
#include "transform/bridge_call.h"
#include "transform/slots.h"

namespace ixo::transform {

namespace {
constexpr std::string_view PREFLATE_FAILED = "preflate could not rebuild a file: ";
constexpr uint64_t CONTAINER_LIMIT = uint64_t{512} << 20;

bool begins(std::span<const uint8_t> data, std::initializer_list<uint8_t> magic) {
  return data.size() >= magic.size() && std::equal(magic.begin(), magic.end(), data.begin());
}
}  // namespace

// gzip, PNG, a ZIP local file header or a PDF.
bool may_contain_deflate(std::span<const uint8_t> data) {
  if (data.size() < 2) return false;
  if (data.size() < 4) return begins(data, {0x1F, 0x8B});
  if (begins(data, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A})) return true;
  return begins(data, {0x50, 0x4B, 0x03, 0x04}) || begins(data, {0x1F, 0x8B}) || begins(data, {0x25, 0x50, 0x44, 0x46});
}

std::optional<Bytes> encode_preflate(std::span<const uint8_t> data) {
  // The library makes an empty container of empty input, and an empty container does not rebuild.
  if (data.empty()) return std::nullopt;
  LimitedVec out(CONTAINER_LIMIT);
  auto container = run_encoder(ixo_preflate_encode, data, out);
  if (!container || !rebuilds_exactly(decode_preflate, *container, data)) return std::nullopt;
  return container;
}

// Keep the container only when it expanded by a sixteenth or more: then it found streams worth expanding.
bool preflate_worth_keeping(uint64_t size, uint64_t stored_len) {
  const uint64_t sixteenth = size / 16;
  return size > UINT64_MAX - sixteenth ? false : stored_len >= size + sixteenth;
}

Result<Bytes> decode_preflate(std::span<const uint8_t> stored, uint64_t size) {
  return run_bounded(ixo_preflate_decode, stored, size, PREFLATE_FAILED, preflate_bound(stored.size(), size));
}

}  // namespace ixo::transform
