// The transform table: one constant row per reversible transform, found by its id.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.h"

namespace ixo::transform {

using Bytes = std::vector<uint8_t>;
using DetectFn = bool (*)(std::span<const uint8_t> data);
using EncodeFn = std::optional<Bytes> (*)(std::span<const uint8_t> data);
using WorthKeepingFn = bool (*)(uint64_t size, uint64_t stored_len);
using DecodeFn = Result<Bytes> (*)(std::span<const uint8_t> stored, uint64_t size);

struct TransformSpec {
  std::string_view name;
  std::string_view description;
  uint64_t max_size;
  uint64_t max_stored_len;
  DetectFn detect;
  EncodeFn encode;
  WorthKeepingFn worth_keeping;
  DecodeFn decode;
  uint16_t min_format_version;
  uint8_t id;
  bool may_expand;
  bool length_preserving;
};

inline constexpr uint8_t TRANSFORM_PREFLATE = 1;
inline constexpr uint8_t TRANSFORM_JPEG = 2;
inline constexpr uint8_t TRANSFORM_BCJ_X86 = 3;

extern const std::array<TransformSpec, 3> REGISTRY;

// The row of a transform id, or null when no row has it.
const TransformSpec* find(uint8_t id);

}  // namespace ixo::transform
