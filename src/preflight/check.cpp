#include <optional>

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

// The nearest existing folder at or above path: path itself, then its parents, component by component as
// path parsing gives them (doubled and trailing separators and "." do not count as components).
std::optional<std::filesystem::path> anchor_folder(const std::filesystem::path& path) {
  std::vector<std::filesystem::path> levels;
  std::filesystem::path built;
  for (const auto& part : path) {
    if (part.empty() || (part == "." && !built.empty())) continue;
    built /= part;
    levels.push_back(built);
  }
  for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
    const auto m = platform::metadata(*it);
    if (m && m->type == platform::FileType::Directory) return *it;
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
