#include "arithmetic_decoder.h"

namespace ixo::cm {
namespace {

class ByteSource {
 public:
  ByteSource(const uint8_t* p, size_t len) : p_(p), len_(len) {}
  uint32_t next() { return r_ < len_ ? p_[r_++] : 0u; }

 private:
  const uint8_t* p_;
  size_t len_;
  size_t r_ = 0;
};

}  // namespace

void decode_modelled(Model& model, const uint8_t* payload, size_t payload_len, uint8_t* dst, size_t n) {
  ByteSource in(payload, payload_len);
  uint32_t low = 0;
  uint32_t high = 0xFFFFFFFFu;
  uint32_t x = 0;
  for (int i = 0; i < 4; ++i) x = (x << 8) | in.next();
  for (size_t j = 0; j < n; ++j) {
    uint32_t byte = 0;
    for (int i = 0; i < 8; ++i) {
      const uint32_t p = static_cast<uint32_t>(model.pr);
      const uint32_t mid = low + static_cast<uint32_t>((uint64_t{high - low} * p) >> 12);
      const int bit = x <= mid ? 1 : 0;
      if (bit) {
        high = mid;
      } else {
        low = mid + 1;
      }
      while (((low ^ high) & 0xFF000000u) == 0) {
        low <<= 8;
        high = (high << 8) | 0xFFu;
        x = (x << 8) | in.next();
      }
      model.update(bit);
      byte = (byte << 1) | static_cast<uint32_t>(bit);
    }
    dst[j] = static_cast<uint8_t>(byte);
  }
}

}  // namespace ixo::cm
