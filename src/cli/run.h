// The run driver: everything from a parsed command line to the exit status.
#pragma once

#include "cli/args.h"

namespace ixo::cli {

int run(const Cli& cli);

}  // namespace ixo::cli
