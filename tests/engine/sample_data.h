// Deterministic inputs of the kinds the model has components for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ixo::cm::testing {

std::vector<uint8_t> sample_text(size_t n);
std::vector<uint8_t> sample_binary(size_t n);
// A PNG-like stream: signature, an IHDR chunk of an 8-bit RGB image, then its raw filtered
// scanlines (as they stand once the deflate stream has been expanded).
std::vector<uint8_t> sample_png(uint32_t width, uint32_t height);
// Fixed-size records with a counter and repeated fields.
std::vector<uint8_t> sample_records(size_t record_len, size_t count);
std::vector<uint8_t> sample_random(size_t n, uint64_t seed);

// Appends a PNG IHDR chunk ("IHDR" and its 13 data bytes) with the given fields.
void append_ihdr(std::vector<uint8_t>& out, uint32_t width, uint32_t height, uint8_t depth, uint8_t colour_type,
                 uint8_t interlace);

}  // namespace ixo::cm::testing
