// The command line: its grammar, the usage text and the version block.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ixo::cli {

inline constexpr const char* VERSION = "0.9.1";

enum class Mode : uint8_t { Extract = 0, Test = 1, List = 2, Info = 3 };

struct Cli {
  std::optional<uint64_t> snapshot;  // 1-based as typed; 0 is refused later
  std::vector<std::string> files;
  std::vector<std::filesystem::path> paths;  // the archive, then the output folder
  uint64_t threads = 0;                      // 0: chosen by the run
  Mode mode = Mode::Extract;
};

struct Run {
  Cli cli;
};
struct Done {
  bool help;  // the usage text is still to be printed; a version block already was
};
struct UsageError {
  std::string message;
};
using ParseOutcome = std::variant<Run, Done, UsageError>;

ParseOutcome parse_args(const std::vector<std::string>& args);
std::string usage_text();
void print_version();

}  // namespace ixo::cli
