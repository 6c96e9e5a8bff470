// Byte-plane layouts of numeric data: the stored planes back into elements.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.h"

namespace ixo::weights {

// layout = recipe & 3. 0: a copy. 1: bfloat16 exponent plane then sign+mantissa plane, rebuilt as
// little-endian 16-bit values. 2 and 3: plane k holds byte k of every 2- or 4-byte element.
// A length that is not a multiple of the element width fails with "misaligned weight chunk".
Result<std::vector<uint8_t>> rebuild(uint8_t layout, std::span<const uint8_t> raw);

}  // namespace ixo::weights
