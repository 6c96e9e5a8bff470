// The bounds-checked cursor through which every index byte becomes a number.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "error.h"

namespace ixo::format {

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> data) : data_(data) {}

  Result<uint8_t> u8();
  Result<uint32_t> u32();
  Result<uint64_t> u64();
  Result<int64_t> i64();
  Result<std::span<const uint8_t>> take(uint64_t n);
  // A u32 length and that many UTF-8 bytes.
  Result<std::string> str();

  uint64_t pos() const { return pos_; }
  uint64_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ == data_.size(); }

 private:
  std::span<const uint8_t> data_;
  uint64_t pos_ = 0;
};

Error truncated();
bool is_utf8(std::span<const uint8_t> bytes);

}  // namespace ixo::format
