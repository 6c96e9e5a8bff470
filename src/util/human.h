// Byte counts as short text for people: "1023 B", "1.0 KB", "16.2 MB".
#pragma once

#include <cstdint>
#include <string>

namespace ixo::pack {

// Whole bytes below 1024, else one decimal of KB, MB or GB. The units are powers of 1024 and GB is the largest.
std::string human(uint64_t bytes);

}  // namespace ixo::pack
