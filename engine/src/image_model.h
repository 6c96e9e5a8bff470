// Recognises a PNG image header in the data and turns the raw scanlines that follow into
// neighbouring-pixel contexts.
#pragma once

#include <array>
#include <cstdint>

namespace ixo::cm {

// Channels per PNG colour type; 0 for types that describe no image.
constexpr uint32_t png_channels(uint32_t colour_type) {
  switch (colour_type) {
    case 0: return 1;
    case 2: return 3;
    case 3: return 1;
    case 4: return 2;
    case 6: return 4;
    default: return 0;
  }
}

struct ImageModel {
  static constexpr uint32_t kTag = 0x49484452u;  // "IHDR", newest byte lowest
  static constexpr int kHeaderBytes = 13;
  static constexpr uint64_t kMaxBits = 33554424;  // bits of one row
  static constexpr uint64_t kMaxSpan = 0xFFFFFF0000ull;
  static constexpr uint64_t kSlack = 65536;

  // c is the byte just decoded, c4 the last four bytes with it, pos the history length.
  void update(uint32_t c, uint32_t c4, uint64_t pos, const uint8_t* history);
  // Takes the geometry of the copied header when it describes a usable image.
  bool parse_header();

  std::array<uint8_t, kHeaderBytes> ihdr{};
  int32_t ihdr_countdown = 0;
  uint32_t stride = 0;  // bytes per row, filter byte included
  uint32_t bpp = 1;
  uint32_t image_above = 0;
  uint64_t remaining = 0;
  bool image_active = false;
  std::array<uint32_t, 5> img_hash{};
};

}  // namespace ixo::cm
