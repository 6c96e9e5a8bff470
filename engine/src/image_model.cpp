#include "image_model.h"

#include <algorithm>

#include "hash.h"

namespace ixo::cm {

bool ImageModel::parse_header() {
  const uint64_t width = uint64_t{ihdr[0]} << 24 | uint64_t{ihdr[1]} << 16 | uint64_t{ihdr[2]} << 8 | ihdr[3];
  const uint64_t height = uint64_t{ihdr[4]} << 24 | uint64_t{ihdr[5]} << 16 | uint64_t{ihdr[6]} << 8 | ihdr[7];
  const uint32_t depth = ihdr[8];
  const uint32_t channels = png_channels(ihdr[9]);
  const uint32_t interlace = ihdr[12];
  const bool depth_ok = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
  if (!depth_ok || channels == 0 || interlace != 0 || width == 0 || height == 0) return false;
  const uint64_t bits = uint64_t{depth} * width * channels;
  if (bits > kMaxBits) return false;
  stride = static_cast<uint32_t>((bits + 7) / 8 + 1);
  bpp = std::max(depth * channels, 8u) / 8;
  remaining = std::min(uint64_t{stride} * height, kMaxSpan) + kSlack;
  return true;
}

void ImageModel::update(uint32_t c, uint32_t c4, uint64_t pos, const uint8_t* history) {
  if (remaining != 0) --remaining;
  bool fresh = false;
  if (ihdr_countdown > 0) {
    ihdr[kHeaderBytes - ihdr_countdown] = static_cast<uint8_t>(c);
    if (--ihdr_countdown == 0) fresh = parse_header();
  } else if (c4 == kTag) {
    ihdr_countdown = kHeaderBytes;
  }
  if (!fresh && remaining == 0) {
    image_active = false;
    return;
  }
  image_active = pos > uint64_t{2} * stride;
  if (!image_active) return;

  const uint32_t a = (bpp != 0 && pos >= bpp) ? history[pos - bpp] : 0;
  const uint32_t b = stride != 0 ? history[pos - stride] : 0;
  const uint32_t above_left = stride + bpp;
  const uint32_t cl = (above_left != 0 && pos >= above_left) ? history[pos - above_left] : 0;
  const uint32_t above_right = stride - bpp;
  const uint32_t d = (above_right != 0 && pos >= above_right) ? history[pos - above_right] : 0;

  const int32_t gradient = std::clamp(static_cast<int32_t>(a + b) - static_cast<int32_t>(cl), 0, 255);
  img_hash[0] = fmix(((a | (b << 8)) * kHashA) ^ salt(20));
  img_hash[1] = fmix(((b | (cl << 8) | (d << 16)) * kHashA) ^ salt(21));
  img_hash[2] = fmix((((b - cl) & 0xFFu) * kHashB) ^ (static_cast<uint32_t>(gradient) * kHashA) ^ salt(22));
  img_hash[3] = fmix(((a | (b << 8) | (cl << 16)) * kHashA) ^ salt(23));
  img_hash[4] = fmix(((a | (c << 8) | (b << 16)) * kHashA) ^ salt(24));
  image_above = b;
}

}  // namespace ixo::cm
