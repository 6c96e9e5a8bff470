#include "sample_files.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace ixo::test {

namespace fs = std::filesystem;

Bytes sample(std::string_view name) {
  const fs::path path = fs::path(IXO_TRANSFORM_DATA) / name;
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "missing sample " << path;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes ppm_picture(int width, int height, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string head = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  Bytes out(head.begin(), head.end());
  out.reserve(out.size() + size_t(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int noise = int(rng() % 24);
      out.push_back(uint8_t((x * 255 / std::max(1, width - 1) + noise) & 0xFF));
      out.push_back(uint8_t((y * 255 / std::max(1, height - 1) + noise) & 0xFF));
      out.push_back(uint8_t(((x ^ y) & 0x7F) + noise));
    }
  return out;
}

namespace {

bool write_file(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  return bool(out);
}

bool on_path(const char* program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    if (access((fs::path(dirs.substr(start, end - start)) / program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::optional<Bytes> cjpeg(const Bytes& ppm, const std::vector<std::string>& options) {
  if (!on_path("cjpeg")) return std::nullopt;
  TempDir dir;
  const fs::path in = dir.path() / "in.ppm", out = dir.path() / "out.jpg";
  if (!write_file(in, ppm)) return std::nullopt;
  std::vector<std::string> args = {"cjpeg"};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), {"-outfile", out.string(), in.string()});
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp("cjpeg", argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::nullopt;
  std::ifstream f(out, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

Bytes text_like(size_t length, uint32_t seed) {
  static const char* const words[] = {"archive", "restore", "the",  "of",    "block",  "chunk", "digest",
                                      "file",    "stream",  "and",  "every", "folder", "index", "snapshot",
                                      "a",       "deflate", "byte", "to",    "JPEG",   "in"};
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(length);
  while (out.size() < length) {
    const char* w = words[rng() % std::size(words)];
    while (*w && out.size() < length) out.push_back(uint8_t(*w++));
    if (out.size() < length) out.push_back(rng() % 11 == 0 ? '\n' : ' ');
  }
  return out;
}

Bytes gzip_of(const Bytes& data, int level) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&z, uLong(data.size())) + 32);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = uInt(data.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Bytes zlib_of(const Bytes& data) {
  uLongf len = compressBound(uLong(data.size()));
  Bytes out(len);
  EXPECT_EQ(compress2(out.data(), &len, data.data(), uLong(data.size()), 6), Z_OK);
  out.resize(len);
  return out;
}

TempDir::TempDir() {
  std::string templ = (fs::temp_directory_path() / "ixo-transform-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) std::abort();
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace ixo::test
