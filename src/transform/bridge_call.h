// Calls into the Lepton and preflate exports of the bridge, with a LimitedVec as their output.
#pragma once

#include <ixo_bridge.h>

#include <optional>
#include <span>
#include <string_view>

#include "transform/limited_vec.h"
#include "transform/registry.h"

namespace ixo::transform {

using BridgeFn = int32_t (*)(const uint8_t*, size_t, ixo_sink, void*, ixo_sink, void*);

// The rebuilt bytes, or InvalidData "{prefix}{the library's text}". A panic inside the library throws
// DecoderCrash (silent when the calling thread's quiet flag is set).
Result<Bytes> run_decoder(BridgeFn decoder, std::span<const uint8_t> stored, LimitedVec& out,
                          std::string_view prefix);

// The encoded bytes, or nothing for any failure of the library (its limit included) or a panic.
std::optional<Bytes> run_encoder(BridgeFn encoder, std::span<const uint8_t> data, LimitedVec& out);

// Whether decode gives back exactly data from container; an error or a crash of the decoder counts as no.
// The libraries' encoders can write containers that their decoders cannot rebuild, so the encoders check.
bool rebuilds_exactly(DecodeFn decode, std::span<const uint8_t> container, std::span<const uint8_t> data);

}  // namespace ixo::transform
