// Slots whose transforms are not built into this extractor yet: they refuse, so the file fails on its own.
#include "codec/codec.h"
#include "transform/slots.h"

namespace ixo::transform {

bool is_jpeg(std::span<const uint8_t>) { return false; }
std::optional<Bytes> encode_jpeg(std::span<const uint8_t>) { return std::nullopt; }
bool jpeg_worth_keeping(uint64_t, uint64_t) { return false; }
Result<Bytes> decode_jpeg(std::span<const uint8_t>, uint64_t) {
  return fail(codec::invalid("JPEG reconstruction failed: this extractor cannot rebuild jpeg files yet"));
}

bool may_contain_deflate(std::span<const uint8_t>) { return false; }
std::optional<Bytes> encode_preflate(std::span<const uint8_t>) { return std::nullopt; }
bool preflate_worth_keeping(uint64_t, uint64_t) { return false; }
Result<Bytes> decode_preflate(std::span<const uint8_t>, uint64_t) {
  return fail(codec::invalid("preflate could not rebuild a file: this extractor cannot rebuild preflate files yet"));
}

bool is_x86_executable(std::span<const uint8_t>) { return false; }
std::optional<Bytes> encode_bcj_x86(std::span<const uint8_t>) { return std::nullopt; }
bool bcj_x86_worth_keeping(uint64_t, uint64_t) { return false; }
Result<Bytes> decode_bcj_x86(std::span<const uint8_t>, uint64_t) {
  return fail(codec::invalid("bcj-x86: this extractor cannot rebuild converted x86 code yet"));
}

}  // namespace ixo::transform
