#include "transform/bridge_call.h"

#include <algorithm>
#include <string>

#include "codec/codec.h"
#include "transform/decoder_crash.h"
#include "util/text.h"

namespace ixo::transform {

namespace {

bool append_text(void* ctx, const uint8_t* data, size_t len) noexcept {
  try {
    static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(data), len);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

Result<Bytes> run_decoder(BridgeFn decoder, std::span<const uint8_t> stored, LimitedVec& out,
                          std::string_view prefix) {
  std::string text;
  const int32_t rc = decoder(stored.data(), stored.size(), LimitedVec::sink, &out, append_text, &text);
  switch (rc) {
    case IXO_TRANSFORM_OK: return out.take();
    case IXO_TRANSFORM_PANIC: throw DecoderCrash();
    default: break;
  }
  // A buffer that could not grow reaches the library as a refused write; say what really happened.
  if (out.out_of_memory()) return fail(codec::invalid(cat(prefix, describe(ErrorKind::OutOfMemory))));
  return fail(codec::invalid(cat(prefix, text)));
}

std::optional<Bytes> run_encoder(BridgeFn encoder, std::span<const uint8_t> data, LimitedVec& out) {
  if (encoder(data.data(), data.size(), LimitedVec::sink, &out, nullptr, nullptr) != IXO_TRANSFORM_OK)
    return std::nullopt;
  return out.take();
}

bool rebuilds_exactly(DecodeFn decode, std::span<const uint8_t> container, std::span<const uint8_t> data) {
  try {
    auto rebuilt = decode(container, data.size());
    return rebuilt && std::equal(rebuilt->begin(), rebuilt->end(), data.begin(), data.end());
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace ixo::transform
