#include "cm_encoder.h"

#include <memory>

#include "crc32.h"
#include "model.h"

namespace ixo::cm::testing {
namespace {

// Inverse of the engine's decoder: the same interval split, and the top byte goes out as soon
// as low and high agree on it.
class ArithmeticEncoder {
 public:
  explicit ArithmeticEncoder(std::vector<uint8_t>& out) : out_(out) {}

  void encode(int bit, int p) {
    const uint32_t mid = low_ + static_cast<uint32_t>((uint64_t{high_ - low_} * static_cast<uint32_t>(p)) >> 12);
    if (bit) {
      high_ = mid;
    } else {
      low_ = mid + 1;
    }
    while (((low_ ^ high_) & 0xFF000000u) == 0) {
      out_.push_back(static_cast<uint8_t>(high_ >> 24));
      low_ <<= 8;
      high_ = (high_ << 8) | 0xFFu;
    }
  }

  // The decoder reads zeros past the end, so the top byte of high followed by zeros lies in
  // [low, high]: one byte closes the code.
  void flush() { out_.push_back(static_cast<uint8_t>(high_ >> 24)); }

 private:
  std::vector<uint8_t>& out_;
  uint32_t low_ = 0;
  uint32_t high_ = 0xFFFFFFFFu;
};

void put_le(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> stream_header(int profile, StreamMode mode, int level, uint64_t n, uint32_t crc) {
  std::vector<uint8_t> h = {'I', 'X', 'C', 'M', static_cast<uint8_t>(profile), static_cast<uint8_t>(mode),
                            static_cast<uint8_t>(level), 0};
  put_le(h, n, 8);
  put_le(h, crc, 4);
  return h;
}

std::vector<uint8_t> encode_payload(std::span<const uint8_t> data, int profile, int level) {
  std::vector<uint8_t> out;
  const auto model = std::make_unique<Model>(level, data.size(), profile);
  ArithmeticEncoder enc(out);
  for (const uint8_t byte : data) {
    for (int i = 7; i >= 0; --i) {
      const int bit = (byte >> i) & 1;
      enc.encode(bit, model->pr);
      model->update(bit);
    }
  }
  if (!data.empty()) enc.flush();
  return out;
}

std::vector<uint8_t> encode_stream(std::span<const uint8_t> data, int profile, int level, StreamMode mode) {
  std::vector<uint8_t> s = stream_header(profile, mode, level, data.size(), crc32(data.data(), data.size()));
  if (mode == StreamMode::Stored) {
    s.insert(s.end(), data.begin(), data.end());
  } else {
    const std::vector<uint8_t> payload = encode_payload(data, profile, level);
    s.insert(s.end(), payload.begin(), payload.end());
  }
  return s;
}

}  // namespace ixo::cm::testing
