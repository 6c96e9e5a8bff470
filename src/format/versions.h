// Archive format versions and the feature flags of version 7.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace ixo::format {

inline constexpr uint16_t MIN_VERSION = 1;
inline constexpr uint16_t MAX_VERSION = 7;

inline constexpr uint64_t FEATURE_ENTRY_METADATA = 1;
inline constexpr uint64_t FEATURE_SNAPSHOT_EDITS = 2;
inline constexpr uint64_t FEATURE_CHAINED_INDEXES = 4;

struct Feature {
  uint64_t flag;
  std::string_view name;
};

inline constexpr std::array<Feature, 3> KNOWN_FEATURES{{
    {FEATURE_ENTRY_METADATA, "entry metadata"},
    {FEATURE_SNAPSHOT_EDITS, "snapshot edits"},
    {FEATURE_CHAINED_INDEXES, "chained indexes"},
}};

}  // namespace ixo::format
