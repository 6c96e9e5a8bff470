// A growable byte buffer with a hard limit: the output of the library-backed transform decoders and encoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error.h"

namespace ixo::transform {

class LimitedVec {
 public:
  explicit LimitedVec(uint64_t limit) : limit_(limit) {}
  LimitedVec(const LimitedVec&) = delete;
  LimitedVec& operator=(const LimitedVec&) = delete;

  // Appends all of bytes, or nothing when they would take the length past the limit
  // ("transform output exceeds limit"); an empty write always succeeds.
  Status write_all(std::span<const uint8_t> bytes);

  // Room for n bytes (at most the limit) up front; a failed reservation only means growing later.
  void reserve(uint64_t n);

  uint64_t limit() const { return limit_; }
  size_t size() const { return bytes_.size(); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  // A write failed because the buffer could not grow, not because of the limit.
  bool out_of_memory() const { return out_of_memory_; }
  std::vector<uint8_t> take() { return std::move(bytes_); }

  // The bridge's output sink over a LimitedVec (ctx); false when the write is refused.
  static bool sink(void* ctx, const uint8_t* data, size_t len) noexcept;

 private:
  std::vector<uint8_t> bytes_;
  uint64_t limit_;
  bool out_of_memory_ = false;
};

}  // namespace ixo::transform
