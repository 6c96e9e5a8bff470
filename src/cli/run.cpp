#include "cli/run.h"

#include <cstdio>

namespace ixo::cli {

int run(const Cli&) {
  std::fputs("error: reading archives is not built into this extractor yet\n", stderr);
  return 1;
}

}  // namespace ixo::cli
