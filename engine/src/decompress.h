// C++ side of the engine's entry points, with the memory gate as a parameter so that tests
// can give a gate of their own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ixo_cm.h"
#include "memory_gate.h"

namespace ixo::cm {

ixo_cm_status decompress(const uint8_t* src, size_t src_len, uint8_t* dst, size_t dst_cap, size_t* out_len,
                         MemoryGate& gate) noexcept;

}  // namespace ixo::cm
