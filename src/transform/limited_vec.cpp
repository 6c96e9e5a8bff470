#include "transform/limited_vec.h"

#include <algorithm>
#include <exception>

#include "codec/codec.h"

namespace ixo::transform {

Status LimitedVec::write_all(std::span<const uint8_t> bytes) {
  const uint64_t n = bytes.size();
  if (n == 0) return {};
  const uint64_t room = bytes_.size() < limit_ ? limit_ - bytes_.size() : 0;
  if (n > room) return fail(codec::invalid("transform output exceeds limit"));
  try {
    const uint64_t needed = bytes_.size() + n;
    if (needed > bytes_.capacity()) {
      // Double as usual, but never reserve past the limit: the limit is often the exact final length.
      bytes_.reserve(static_cast<size_t>(std::min(std::max<uint64_t>(needed, 2 * uint64_t{bytes_.capacity()}), limit_)));
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  } catch (const std::exception&) {  // bad_alloc, or length_error past the largest vector
    out_of_memory_ = true;
    return fail(Error::bare(ErrorKind::OutOfMemory));
  }
  return {};
}

void LimitedVec::reserve(uint64_t n) {
  try {
    bytes_.reserve(static_cast<size_t>(std::min(n, limit_)));
  } catch (const std::exception&) {
  }
}

bool LimitedVec::sink(void* ctx, const uint8_t* data, size_t len) noexcept {
  if (ctx == nullptr || (data == nullptr && len != 0)) return false;
  return static_cast<LimitedVec*>(ctx)->write_all({data, len}).has_value();
}

}  // namespace ixo::transform
