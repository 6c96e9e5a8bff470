// Drives a model with known bytes, bit by bit, as the decoder does.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "model.h"

namespace ixo::cm::testing {

inline void feed_byte(Model& m, uint8_t byte) {
  for (int i = 7; i >= 0; --i) m.update((byte >> i) & 1);
}

inline void feed(Model& m, std::span<const uint8_t> bytes) {
  for (const uint8_t b : bytes) feed_byte(m, b);
}

inline void feed(Model& m, std::string_view text) {
  for (const char ch : text) feed_byte(m, static_cast<uint8_t>(ch));
}

inline std::unique_ptr<Model> small_model(int profile, size_t n = 4096) {
  return std::make_unique<Model>(1, n, profile);
}

}  // namespace ixo::cm::testing
