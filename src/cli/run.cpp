#include "cli/run.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/extraction_run.h"
#include "cli/listing.h"
#include "archive/archive.h"
#include "util/text.h"

namespace ixo::cli {

uint64_t threads_or_online_processors(uint64_t threads) {
  if (threads != 0) return threads;
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint64_t>(online) : 1;
}

Result<size_t> choose_snapshot(const std::vector<format::Snapshot>& snapshots, std::optional<uint64_t> number) {
  if (!number) return snapshots.size() - 1;
  if (*number == 0 || *number > snapshots.size()) {
    return fail(Error::message(ErrorKind::InvalidInput,
                               cat("snapshot ", *number, " does not exist (the archive has ", snapshots.size(), ")")));
  }
  return static_cast<size_t>(*number - 1);
}

Result<format::EntryList> chosen_files(const std::vector<format::Snapshot>& snapshots, std::optional<uint64_t> number) {
  Result<size_t> chosen = choose_snapshot(snapshots, number);
  if (!chosen) return fail(chosen.error());
  return format::snapshot_files(snapshots, *chosen);
}

int report_error(const Error& error) {
  const std::string text = cat("error: ", error.to_string(), '\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
  if (error.kind() != ErrorKind::Unsupported) return 1;
  std::fputs(cat("This archive needs a newer ixo-extract; this one is ", VERSION, ".\n").c_str(), stderr);
  return 3;
}

int run(const Cli& cli) {
  const std::filesystem::path& archive_path = cli.paths.front();
  Result<pack::Archive> archive = pack::Archive::open(archive_path);
  if (!archive) return report_error(archive.error());
  if (!archive->warning.empty()) {
    std::fputs(archive->warning.c_str(), stderr);
    std::fflush(stderr);
  }
  const uint64_t workers = threads_or_online_processors(cli.threads);

  if (cli.mode == Mode::Extract || cli.mode == Mode::Test) return extraction_run(cli, *archive, workers);

  // Listing and summary look at neither --file nor the worker count.
  Result<format::EntryList> files = chosen_files(archive->snapshots, cli.snapshot);
  if (!files) return report_error(files.error());
  if (cli.mode == Mode::List) {
    list_archive(*archive, *files);
  } else {
    print_info(archive_path, *archive, *files);
  }
  return 0;
}

}  // namespace ixo::cli
