// The check a Lepton container's compressed header must pass before lepton_jpeg sees the container.
#pragma once

#include <cstdint>
#include <span>

#include "error.h"

namespace ixo::transform {

inline constexpr std::string_view JPEG_FAILED = "JPEG reconstruction failed: ";

// Inflates the compressed header (at most 2 x size + 65536 bytes of it) and walks its sections; any fault is
// "JPEG reconstruction failed: damaged Lepton header". size is the file's size.
Status check_lepton_header(std::span<const uint8_t> stored, uint64_t size);

}  // namespace ixo::transform
