#include <optional>
#include <string>
#include <string_view>

#include "platform/fs.h"
#include "preflight/preflight.h"
#include "util/text.h"

namespace ixo::preflight {

namespace {

constexpr size_t LISTED = 5;

std::optional<std::filesystem::path> absolute_output(const std::filesystem::path& out) {
  if (!out.empty() && out.native().front() == '/') return out;
  Result<std::filesystem::path> cwd = platform::current_dir();
  if (!cwd) return std::nullopt;
  return *cwd / out;
}

// The path with its last component removed, components as path parsing gives them: separators and "." pieces
// at the end do not count, and the root has no parent. What remains is kept as written.
std::optional<std::string> parent_of(std::string path) {
  bool removed = false;
  while (path.size() > 1) {
    const size_t slash = path.rfind('/');
    const std::string_view piece = std::string_view(path).substr(slash + 1);
    const bool counted = !piece.empty() && piece != ".";
    if (counted && removed) break;
    path.resize(slash == 0 ? 1 : slash);
    removed = removed || counted;
  }
  if (!removed) return std::nullopt;
  return path;
}

// The nearest existing folder at or above the absolute path: the path itself as written, then its parents.
std::optional<std::filesystem::path> anchor_folder(const std::filesystem::path& path) {
  for (std::optional<std::string> level = path.native(); level; level = parent_of(std::move(*level))) {
    const auto m = platform::metadata(*level);
    if (m && m->type == platform::FileType::Directory) return std::filesystem::path(*level);
  }
  return std::nullopt;
}

}  // namespace

Error fail(ErrorKind kind, std::string_view heading, const std::vector<std::string>& items, uint64_t total) {
  std::string message(heading);
  for (size_t i = 0; i < items.size() && i < LISTED; ++i) {
    message += "\n  ";
    message += items[i];
  }
  if (total > LISTED) message += cat("\n  ... and ", total - LISTED, " more");
  return Error::message(kind, std::move(message));
}

Status check(pack::Selection files, const std::filesystem::path& out, CaseLookup lookup) {
  const std::optional<std::filesystem::path> absolute = absolute_output(out);
  const std::optional<std::filesystem::path> anchor = absolute ? anchor_folder(*absolute) : std::nullopt;
  if (anchor) {
    if (auto ok = check_case_collisions(files, *anchor, lookup); !ok) return ok;
  }
  if (auto ok = check_existing(files, out); !ok) return ok;
  if (anchor) {
    if (auto ok = check_free_space(files, *anchor); !ok) return ok;
  }
  return {};
}

}  // namespace ixo::preflight
