// Reading a written archive back by hand in the writer's tests: fixed-width fields, footers, block payloads,
// and a scratch folder.
#pragma once

#include <lzma.h>
#include <stdlib.h>
#include <zstd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "support/writer/archive_writer.h"

namespace ixo::test::check {

inline uint64_t get_le(std::span<const uint8_t> b, size_t at, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | b[at + i];
  return v;
}
inline uint32_t u32_at(std::span<const uint8_t> b, size_t at) { return static_cast<uint32_t>(get_le(b, at, 4)); }
inline uint64_t u64_at(std::span<const uint8_t> b, size_t at) { return get_le(b, at, 8); }

struct ReadFooter {
  uint64_t index_offset, stored_len, raw_len;
  std::array<uint8_t, 16> digest;
  std::string magic;
};

// The footer that ends at end.
inline ReadFooter footer_before(const Bytes& file, uint64_t end) {
  const size_t at = end - 44;
  ReadFooter f{u64_at(file, at), u64_at(file, at + 8), u64_at(file, at + 16), {}, {}};
  std::copy_n(file.begin() + at + 24, 16, f.digest.begin());
  f.magic.assign(file.begin() + at + 40, file.begin() + at + 44);
  return f;
}

inline Bytes unzstd(std::span<const uint8_t> frame, size_t expected) {
  Bytes out(expected + 1);
  size_t n = ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size());
  if (ZSTD_isError(n)) return {};
  out.resize(n);
  return out;
}

inline Bytes unxz(std::span<const uint8_t> stream, size_t expected) {
  Bytes out(expected + 1);
  uint64_t memlimit = UINT64_MAX;
  size_t in_pos = 0, out_pos = 0;
  if (lzma_stream_buffer_decode(&memlimit, 0, nullptr, stream.data(), &in_pos, stream.size(), out.data(),
                                &out_pos, out.size()) != LZMA_OK || in_pos != stream.size())
    return {};
  out.resize(out_pos);
  return out;
}

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ixo-writer-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace ixo::test::check
