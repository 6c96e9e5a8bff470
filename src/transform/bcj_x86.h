// The x86 branch conversion: the 32-bit operands of near CALL (E8) and JMP (E9) between relative and absolute.
#pragma once

#include <cstdint>
#include <span>

namespace ixo::transform {

// Converts buf in place, relative to absolute when encode is set, else back; the number of converted operands.
uint64_t bcj_x86(std::span<uint8_t> buf, bool encode);

}  // namespace ixo::transform
