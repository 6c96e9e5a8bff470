// Runs a program as a child process and captures what it writes, for command-line tests.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ixo::test {

struct RunResult {
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error, byte for byte
  // The exit status (0-255) when the program exited; 128 + the signal number when a signal ended it;
  // -1 when it could not be started (err then says why).
  int status = -1;
};

struct RunOptions {
  std::filesystem::path program = IXO_EXTRACT_BIN;  // run as given, without a PATH search
  std::optional<std::filesystem::path> cwd;         // working folder of the child; default: the caller's
};

// Runs options.program with args (argv[1...]; argv[0] is the program path). The child's standard input is
// /dev/null; its standard output and error are read to their end, both at once, so large outputs cannot stall it.
RunResult run_program(const std::vector<std::string>& args, const RunOptions& options = {});

// The text of a result for test failure messages: status, then both streams.
std::string show(const RunResult& result);

// The report's elapsed time " in {digits}.{digit}s, " as " in #s, ".
std::string without_seconds(std::string text);

}  // namespace ixo::test
