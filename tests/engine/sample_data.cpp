#include "sample_data.h"

#include <array>
#include <string_view>

namespace ixo::cm::testing {
namespace {

struct Rng {
  uint64_t s;
  uint32_t next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
  }
};

void put_be32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> sample_text(size_t n) {
  static constexpr std::array<std::string_view, 24> words = {
      "the",     "archive", "restores", "every",  "file",  "with", "its",    "digest",
      "Blocks",  "decode",  "on",       "worker", "threads", "and", "a",     "model",
      "predicts", "each",   "bit",      "from",   "context", "of",  "Words", "1998"};
  std::vector<uint8_t> out;
  Rng rng{42};
  while (out.size() < n) {
    const std::string_view w = words[rng.next() % words.size()];
    out.insert(out.end(), w.begin(), w.end());
    const uint32_t r = rng.next() % 16;
    out.push_back(r == 0 ? '\n' : r == 1 ? ',' : ' ');
  }
  out.resize(n);
  return out;
}

std::vector<uint8_t> sample_binary(size_t n) {
  // Little-endian structs of mixed field widths, with slowly changing values.
  std::vector<uint8_t> out;
  Rng rng{7};
  uint32_t counter = 1000;
  while (out.size() < n) {
    counter += rng.next() % 5;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(counter >> (8 * i)));
    out.push_back(static_cast<uint8_t>(rng.next() % 3));
    out.push_back(0);
    const uint16_t v = static_cast<uint16_t>(rng.next() % 300);
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
    if (rng.next() % 4 == 0) out.push_back(0xE8);
  }
  out.resize(n);
  return out;
}

void append_ihdr(std::vector<uint8_t>& out, uint32_t width, uint32_t height, uint8_t depth, uint8_t colour_type,
                 uint8_t interlace) {
  put_be32(out, 13);
  out.insert(out.end(), {'I', 'H', 'D', 'R'});
  put_be32(out, width);
  put_be32(out, height);
  out.insert(out.end(), {depth, colour_type, 0, 0, interlace});
  put_be32(out, 0x12345678);  // chunk CRC, not looked at
}

std::vector<uint8_t> sample_png(uint32_t width, uint32_t height) {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  append_ihdr(out, width, height, 8, 2, 0);
  put_be32(out, width * height * 3 + height);
  out.insert(out.end(), {'I', 'D', 'A', 'T'});
  Rng rng{99};
  for (uint32_t y = 0; y < height; ++y) {
    out.push_back(0);  // filter type none
    for (uint32_t x = 0; x < width; ++x) {
      out.push_back(static_cast<uint8_t>(x * 2 + y));
      out.push_back(static_cast<uint8_t>(y * 3 + (rng.next() & 3)));
      out.push_back(static_cast<uint8_t>((x + y) * 5 / 4));
    }
  }
  return out;
}

std::vector<uint8_t> sample_records(size_t record_len, size_t count) {
  std::vector<uint8_t> out;
  Rng rng{5};
  for (size_t r = 0; r < count; ++r) {
    const size_t start = out.size();
    out.push_back('#');
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(r >> (8 * i)));
    out.push_back(static_cast<uint8_t>('A' + r % 26));
    while (out.size() - start < record_len - 1) out.push_back(static_cast<uint8_t>(rng.next() % 8 + '0'));
    out.push_back('\n');
  }
  return out;
}

std::vector<uint8_t> sample_random(size_t n, uint64_t seed) {
  std::vector<uint8_t> out(n);
  Rng rng{seed};
  for (auto& b : out) b = static_cast<uint8_t>(rng.next());
  return out;
}

}  // namespace ixo::cm::testing
