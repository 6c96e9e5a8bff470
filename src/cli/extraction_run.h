// The rest of an extraction or test run once the archive is open: output folder, clock, snapshot and file
// selection, pre-flight checks, the extraction itself and the report.
#pragma once

#include <cstdint>

#include "cli/args.h"
#include "archive/archive.h"

namespace ixo::cli {

// Gives the exit status; fatal errors end through report_error. The snapshot is chosen here, after the output
// folder exists, with chosen_files.
int extraction_run(const Cli& cli, const pack::Archive& archive, uint64_t workers);

}  // namespace ixo::cli
