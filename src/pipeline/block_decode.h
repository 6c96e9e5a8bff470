// Decoding one stored block by its codec, with the decoded-size check every codec shares.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.h"
#include "format/records.h"

namespace ixo::pack {

// The decoded bytes of a block (exactly info.raw_len of them) or the error of its codec.
Result<std::vector<uint8_t>> decode_block(const format::BlockInfo& info, std::span<const uint8_t> stored);
// The same into out, whose bytes are written over without being cleared: out's size at the start is room the
// codec may use, and out ends holding the decoded block.
Status decode_block_into(const format::BlockInfo& info, std::span<const uint8_t> stored, std::vector<uint8_t>& out);

// One .xz stream, decoding at most raw_len + 1 bytes; the caller checks the length.
Result<std::vector<uint8_t>> decode_lzma2(std::span<const uint8_t> stored, uint64_t raw_len);
Status decode_lzma2_into(std::span<const uint8_t> stored, uint64_t raw_len, std::vector<uint8_t>& out);

// One IXCM stream through the context-mixing engine; the caller checks the length.
Result<std::vector<uint8_t>> decode_cm(std::span<const uint8_t> stored, uint64_t raw_len);
Status decode_cm_into(std::span<const uint8_t> stored, uint64_t raw_len, std::vector<uint8_t>& out);

}  // namespace ixo::pack
