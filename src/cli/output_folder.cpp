#include "cli/output_folder.h"

#include <string>

#include "platform/fs.h"
#include "util/lossy_text.h"
#include "util/text.h"

namespace ixo::cli {

namespace {

constexpr int LAST_NUMBER = 9999;

std::string stem_of(const std::filesystem::path& archive_path) {
  const std::string name = archive_path.filename().native();
  if (name.empty() || name == "." || name == "..") return "extracted";
  // A name whose only '.' is its first character is its own stem.
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  if (stem.empty() || preflight::lossy_utf8(stem) != stem) return "extracted";
  return stem;
}

std::filesystem::path base_of(const std::filesystem::path& archive_path) {
  std::string parent = archive_path.parent_path().native();
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  return parent.empty() ? std::filesystem::path(".") : std::filesystem::path(parent);
}

}  // namespace

Result<std::filesystem::path> choose_output_folder(const std::filesystem::path& archive_path, MakeDir make) {
  const std::filesystem::path base = base_of(archive_path);
  const std::string stem = stem_of(archive_path);
  for (int n = 1; n <= LAST_NUMBER; ++n) {
    const std::filesystem::path candidate = base / (n == 1 ? stem : cat(stem, " (", n, ')'));
    Status made = make(candidate);
    if (made) return candidate;
    if (made.error().kind() != ErrorKind::AlreadyExists) return fail(made.error());
  }
  return fail(Error::message(ErrorKind::AlreadyExists, "no free output folder name next to the archive"));
}

}  // namespace ixo::cli
