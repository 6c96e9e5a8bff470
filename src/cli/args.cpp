#include "cli/args.h"

#include <cstdio>
#include <string_view>

#include "format/versions.h"
#include "util/text.h"

namespace ixo::cli {
namespace {

// Unsigned 64-bit decimal: at most one leading '+', then digits only.
std::optional<uint64_t> parse_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

ParseOutcome parse_args(const std::vector<std::string>& args) {
  Cli cli;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (arg == "-h" || arg == "--help") return Done{true};
    if (arg == "-V" || arg == "--version") {
      print_version();
      return Done{false};
    }
    if (arg == "-t" || arg == "--test") {
      cli.mode = Mode::Test;
    } else if (arg == "-l" || arg == "--list") {
      cli.mode = Mode::List;
    } else if (arg == "--info") {
      cli.mode = Mode::Info;
    } else if (arg == "-s" || arg == "--snapshot") {
      const std::string* v = value();
      if (!v) return UsageError{"-s needs a snapshot number"};
      auto n = parse_number(*v);
      if (!n) return UsageError{"bad snapshot number: " + *v};
      cli.snapshot = *n;
    } else if (arg == "-j" || arg == "--threads") {
      const std::string* v = value();
      if (!v) return UsageError{"-j needs a number"};
      auto n = parse_number(*v);
      if (!n) return UsageError{"bad thread count: " + *v};
      cli.threads = *n;
    } else if (arg == "--file") {
      const std::string* v = value();
      if (!v) return UsageError{"--file needs an archive path"};
      cli.files.push_back(*v);
    } else if (arg.size() >= 2 && arg[0] == '-') {
      return UsageError{"unknown option: " + arg};
    } else {
      cli.paths.emplace_back(arg);
    }
  }
  const size_t n = cli.paths.size();
  const bool count_ok = cli.mode == Mode::Extract ? (n == 1 || n == 2) : n == 1;
  if (!count_ok) return UsageError{"expected an archive path"};
  return Run{std::move(cli)};
}

std::string usage_text() {
  return cat(
      "ixo-extract ", VERSION, " - extracts .ixo archives (ixo format v", format::MIN_VERSION, " to v",
      format::MAX_VERSION, ")\n"
      "\n"
      "usage:\n"
      "  ixo-extract <archive.ixo> [output-folder]\n"
      "                  extract; without a folder, into a new folder next to the\n"
      "                  archive named after it (\"name\", then \"name (2)\", ...)\n"
      "  ixo-extract -t <archive.ixo>     verify every file without writing\n"
      "  ixo-extract -l <archive.ixo>     list files and snapshots\n"
      "  ixo-extract --info <archive.ixo> format version and contents in brief\n"
      "  ixo-extract --version            format versions and features this build reads\n"
      "\n"
      "options:\n"
      "  -s N         snapshot N (1 = oldest); the default is the latest\n"
      "  --file PATH  only this archive path (repeatable)\n"
      "  -j N         threads\n"
      "\n"
      "Existing files are never overwritten. Every file is checked against its\n"
      "BLAKE3 digest. Exit status: 0 all verified, 1 failure, 2 usage, 3 the\n"
      "archive needs a newer ixo-extract.");
}

void print_version() {
  std::string features;
  for (const auto& row : format::KNOWN_FEATURES) {
    if (!features.empty()) features += ", ";
    features += cat(__builtin_ctzll(row.flag), ' ', row.name);
  }
  std::string text = cat("ixo-extract ", VERSION, "\nreads ixo format v", format::MIN_VERSION, " to v",
                         format::MAX_VERSION, "\nknown v7 features: ", features, '\n');
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace ixo::cli
