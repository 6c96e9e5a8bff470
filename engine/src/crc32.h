// CRC-32 of the zlib and PNG formats (reflected polynomial 0xEDB88320).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ixo::cm {

uint32_t crc32(const uint8_t* data, size_t len);

}  // namespace ixo::cm
