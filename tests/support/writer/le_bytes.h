// Little-endian appenders for the writer's records.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace ixo::test::le {

inline void u8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }

inline void u16(std::vector<uint8_t>& out, uint16_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void u64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void i64(std::vector<uint8_t>& out, int64_t v) { u64(out, static_cast<uint64_t>(v)); }

inline void raw(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// A u32 byte length, then the bytes.
inline void str(std::vector<uint8_t>& out, std::string_view s) {
  u32(out, static_cast<uint32_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

}  // namespace ixo::test::le
