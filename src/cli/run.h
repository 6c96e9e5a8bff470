// The run driver: everything from a parsed command line to the exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "cli/args.h"
#include "error.h"
#include "format/records.h"

namespace ixo::cli {

// Opens the archive, chooses the worker count, and lists, summarises, or hands over to the extraction run.
int run(const Cli& cli);

// Cli::threads when not 0, else the number of online processors, else 1. No upper bound.
uint64_t threads_or_online_processors(uint64_t threads);

// The 0-based index of the chosen snapshot: the latest without -s, else N - 1; N of 0 or above the number of
// snapshots is an InvalidInput error. snapshots is never empty.
Result<size_t> choose_snapshot(const std::vector<format::Snapshot>& snapshots, std::optional<uint64_t> number);

// The entry list of the snapshot that -s chooses (choose_snapshot, then format::snapshot_files).
Result<format::EntryList> chosen_files(const std::vector<format::Snapshot>& snapshots, std::optional<uint64_t> number);

// The one place a fatal error becomes text on stderr and a status: 3 for the Unsupported kind, else 1.
int report_error(const Error& error);

}  // namespace ixo::cli
