// Reading one archive state: its newest segment, the chain below it down to its full index, merged into one Index.
#pragma once

#include <cstdint>

#include "error.h"
#include "format/records.h"
#include "platform/file.h"

namespace ixo::pack {

// Most chained segments over one full index.
inline constexpr size_t MAX_CHAINED_SEGMENTS = 64;

// The merged index of the state that ends at end.
Result<format::Index> read_index_at(const platform::File& file, uint64_t end, uint16_t header_version);

}  // namespace ixo::pack
