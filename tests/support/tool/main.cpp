// ixo-pack: packs a folder into a one-snapshot archive, for command-line tests, benchmarks and samples.
#include <charconv>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "support/writer/archive_writer.h"

namespace {

constexpr std::string_view USAGE =
    "usage: ixo-pack [--version N] [--codec store|zstd|lzma2|cm] [--level N] [--block-size N]\n"
    "                [--chunk-size N] [--time SECONDS] [--no-dedup] FOLDER OUT.ixo\n"
    "Packs the tree under FOLDER into a new archive with one snapshot (test support).\n"
    "Sizes take an optional K, M or G suffix (powers of 1024).\n";

int usage_error(const std::string& what) {
  std::fprintf(stderr, "ixo-pack: %s\n%.*s", what.c_str(), static_cast<int>(USAGE.size()), USAGE.data());
  return 2;
}

template <class T>
bool parse_number(std::string_view text, T& out, bool sizes = false) {
  uint64_t scale = 1;
  if (sizes && !text.empty()) {
    switch (text.back()) {
      case 'K': scale = 1ull << 10; break;
      case 'M': scale = 1ull << 20; break;
      case 'G': scale = 1ull << 30; break;
      default: break;
    }
    if (scale != 1) text.remove_suffix(1);
  }
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  if (scale != 1) {
    if (value < 0 || static_cast<uint64_t>(value) > static_cast<uint64_t>(std::numeric_limits<T>::max()) / scale)
      return false;
    value = static_cast<T>(static_cast<uint64_t>(value) * scale);
  }
  out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ixo::test::PackOptions options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fwrite(USAGE.data(), 1, USAGE.size(), stdout);
      return 0;
    }
    if (arg == "--no-dedup") {
      options.dedup = false;
      continue;
    }
    if (arg == "--version" || arg == "--codec" || arg == "--level" || arg == "--block-size" ||
        arg == "--chunk-size" || arg == "--time") {
      const char* v = i + 1 < argc ? argv[++i] : nullptr;
      if (!v) return usage_error("missing value for " + std::string(arg));
      std::string_view text = v;
      bool ok = true;
      if (arg == "--version") {
        ok = parse_number(text, options.version);
      } else if (arg == "--codec") {
        if (text == "store") options.codec = ixo::test::Codec::Store;
        else if (text == "zstd") options.codec = ixo::test::Codec::Zstd;
        else if (text == "lzma2") options.codec = ixo::test::Codec::Lzma2;
        else if (text == "cm") options.codec = ixo::test::Codec::Cm;
        else ok = false;
      } else if (arg == "--level") {
        ok = parse_number(text, options.level);
      } else if (arg == "--block-size") {
        ok = parse_number(text, options.block_size, true) && options.block_size > 0;
      } else if (arg == "--chunk-size") {
        ok = parse_number(text, options.chunk_size, true) && options.chunk_size > 0;
      } else {
        ok = parse_number(text, options.time);
      }
      if (!ok) return usage_error("bad value for " + std::string(arg) + ": " + std::string(text));
      continue;
    }
    if (arg.starts_with("-") && arg.size() > 1) return usage_error("unknown option " + std::string(arg));
    positional.emplace_back(arg);
  }
  if (positional.size() != 2) return usage_error("expected FOLDER and OUT.ixo");
  if (ixo::Status s = ixo::test::pack_folder_to(positional[0], positional[1], options); !s) {
    std::fprintf(stderr, "ixo-pack: %s\n", s.error().to_string().c_str());
    return 1;
  }
  return 0;
}
