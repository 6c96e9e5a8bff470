#include "cli/extraction_run.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/output_folder.h"
#include "cli/run.h"
#include "cli/selection.h"
#include "restore/extract.h"
#include "util/lossy_text.h"
#include "preflight/preflight.h"
#include "util/decimal.h"
#include "util/text.h"

namespace ixo::cli {

namespace {

using Clock = std::chrono::steady_clock;

void put(std::FILE* stream, const std::string& text) { std::fwrite(text.data(), 1, text.size(), stream); }

int print_report(Mode mode, const pack::ExtractCounts& counts, Clock::time_point start,
                 const std::optional<std::filesystem::path>& out) {
  const std::chrono::duration<double> elapsed = Clock::now() - start;
  const std::string status = counts.failures == 0 ? std::string("all verified") : cat(counts.failures, " FAILED");
  put(stdout, cat(mode == Mode::Extract ? "extracted" : "tested", ' ', counts.files, " files in ",
                  one_decimal(elapsed.count()), "s, ", status, '\n'));
  if (mode == Mode::Extract && out) put(stdout, cat("into ", preflight::lossy_utf8(out->native()), '\n'));
  std::fflush(stdout);
  return counts.failures == 0 ? 0 : 1;
}

}  // namespace

int extraction_run(const Cli& cli, const pack::Archive& archive, uint64_t workers) {
  std::optional<std::filesystem::path> out;
  if (cli.mode == Mode::Extract) {
    if (cli.paths.size() > 1) {
      out = cli.paths[1];  // as typed, the empty text included
    } else {
      Result<std::filesystem::path> folder = choose_output_folder(cli.paths.front());
      if (!folder) return report_error(folder.error());
      out = std::move(*folder);
    }
  }
  const Clock::time_point start = Clock::now();

  Result<format::EntryList> list = chosen_files(archive.snapshots, cli.snapshot);
  if (!list) return report_error(list.error());
  Result<FileSelection> selection = select_files(*list, cli.files);
  if (!selection) return report_error(selection.error());
  const pack::Selection files = selection->entries;

  if (out) {
    if (Status ok = preflight::check(files, *out); !ok) return report_error(ok.error());
  }
  Result<pack::ExtractCounts> counts = pack::extract_selected(archive, files, workers, out);
  if (!files.empty()) {
    std::fputc('\n', stderr);  // ends the progress line, before any error line
    std::fflush(stderr);
  }
  if (!counts) return report_error(counts.error());
  return print_report(cli.mode, *counts, start, out);
}

}  // namespace ixo::cli
