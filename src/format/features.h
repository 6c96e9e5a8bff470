// The feature flags at the head of a version-7 index segment.
#pragma once

#include <cstdint>

#include "error.h"
#include "format/reader.h"

namespace ixo::format {

// The segment's feature flags (0 before version 7, where none are stored); unknown bits are Unsupported.
Result<uint64_t> read_features(Reader& reader, uint16_t version);

// The Unsupported error naming the unknown feature bits (at least one set).
Error unknown_features(uint64_t unknown);

}  // namespace ixo::format
