// Real files for the transform tests: the small samples kept in data/, and larger ones made while the tests run
// (JPEGs by cjpeg, deflate streams by zlib).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ixo::test {

using Bytes = std::vector<uint8_t>;

// The bytes of data/<name>; a missing sample fails the calling test.
Bytes sample(std::string_view name);

inline const std::vector<std::string> SAMPLE_JPEGS = {
    "baseline-17x13.jpg",  "baseline-320x240.jpg",    "progressive-640x400.jpg",
    "gray-320x240.jpg",    "restart-444-320x240.jpg", "trailing-17x13.jpg",
};
inline const std::vector<std::string> SAMPLE_DEFLATE_FILES = {
    "rgb-160x120.png", "rgba-half-96x72.png", "palette-320x240.png", "rgb16-17x13.png", "gray-256x64.png",
    "text-9.gz",       "text-1.gz",      "bundle.zip",          "text.pdf",
};

// A smooth picture with some noise, width x height, as a binary PPM; the same for the same arguments.
Bytes ppm_picture(int width, int height, uint32_t seed);

// The JPEG that cjpeg makes of picture with the given options; nothing when cjpeg is not installed.
std::optional<Bytes> cjpeg(const Bytes& ppm, const std::vector<std::string>& options);

// Text-like bytes of the given length; the same for the same arguments.
Bytes text_like(size_t length, uint32_t seed);

// A gzip member of data made by zlib at the given level.
Bytes gzip_of(const Bytes& data, int level);

// One zlib stream (RFC 1950) of data.
Bytes zlib_of(const Bytes& data);

// A fresh empty folder under the system's temporary folder, removed with its contents when the owner goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace ixo::test
