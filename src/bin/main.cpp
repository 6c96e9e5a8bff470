// ixo-extract: restores .ixo archives.
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "cli/args.h"
#include "cli/run.h"
#include "platform/descriptors.h"
#include "platform/fork_server.h"
#include "transform/quiet.h"

namespace ixo_extract {

int main(int argc, char** argv) {
  ixo::transform::install_panic_filter();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto outcome = ixo::cli::parse_args(args);
  if (auto* usage = std::get_if<ixo::cli::UsageError>(&outcome)) {
    std::fprintf(stderr, "%s\n\n%s\n", usage->message.c_str(), ixo::cli::usage_text().c_str());
    return 2;
  }
  if (auto* done = std::get_if<ixo::cli::Done>(&outcome)) {
    if (done->help) std::printf("%s\n", ixo::cli::usage_text().c_str());
    return 0;
  }
  // The files a run keeps open together are sized to what the limit leaves.
  ixo::platform::raise_descriptor_limit();
  // Before any thread exists: the children that run the transform decoders are forked from it.
  ixo::platform::start_fork_server();
  return ixo::cli::run(std::get<ixo::cli::Run>(outcome).cli);
}

}  // namespace ixo_extract

int main(int argc, char** argv) { return ixo_extract::main(argc, argv); }
