// The operations behind the transform rows' slots. Only decode is called when restoring; it returns the rebuilt
// file (its length is the caller's to check) or an InvalidData error with the transform's own prefix, and the
// library-backed decoders throw DecoderCrash (transform/decoder_crash.h) when their library crashed.
#pragma once

#include "transform/registry.h"

namespace ixo::transform {

bool is_jpeg(std::span<const uint8_t> data);
std::optional<Bytes> encode_jpeg(std::span<const uint8_t> data);
bool jpeg_worth_keeping(uint64_t size, uint64_t stored_len);
Result<Bytes> decode_jpeg(std::span<const uint8_t> stored, uint64_t size);

bool may_contain_deflate(std::span<const uint8_t> data);
std::optional<Bytes> encode_preflate(std::span<const uint8_t> data);
bool preflate_worth_keeping(uint64_t size, uint64_t stored_len);
Result<Bytes> decode_preflate(std::span<const uint8_t> stored, uint64_t size);

bool is_x86_executable(std::span<const uint8_t> data);
std::optional<Bytes> encode_bcj_x86(std::span<const uint8_t> data);
bool bcj_x86_worth_keeping(uint64_t size, uint64_t stored_len);
Result<Bytes> decode_bcj_x86(std::span<const uint8_t> stored, uint64_t size);

}  // namespace ixo::transform
