// The .xz decoder of "lzma2" blocks with liblzma's allocations made through a given allocator.
#pragma once

#include <lzma.h>

#include <cstdint>
#include <span>
#include <vector>

#include "error.h"

namespace ixo::pack {

// decode_lzma2 with liblzma allocating through allocator (null: the library's own); tests make it fail.
Result<std::vector<uint8_t>> decode_lzma2(std::span<const uint8_t> stored, uint64_t raw_len,
                                          const lzma_allocator* allocator);

}  // namespace ixo::pack
