#include "platform/fs.h"
#include "util/lossy_text.h"
#include "preflight/preflight.h"
#include "util/text.h"

namespace ixo::preflight {

Status check_existing(pack::Selection files, const std::filesystem::path& out) {
  if (!platform::symlink_metadata(out)) return {};

  std::vector<std::string> existing;
  for (const format::FileEntry* e : files) {
    if (e->kind == format::Directory) continue;  // an existing folder is accepted at a directory entry
    // The pieces are appended as the engine will join them, but not judged: that is the engine's task.
    std::string dest = out.native();
    std::string_view rest = e->path;
    for (;;) {
      const size_t slash = rest.find('/');
      if (!dest.empty() && dest.back() != '/') dest.push_back('/');
      dest.append(rest.substr(0, slash));
      if (slash == std::string_view::npos) break;
      rest.remove_prefix(slash + 1);
    }
    if (platform::symlink_metadata(dest)) existing.push_back(e->path);
  }
  if (existing.empty()) return {};

  const uint64_t n = existing.size();
  const std::string heading =
      cat(n == 1 ? std::string("1 entry") : cat(n, " entries"), " already ", n == 1 ? "exists" : "exist", " in ",
          lossy_utf8(out.native()), "; nothing was extracted and nothing was overwritten (choose a new folder):");
  return ixo::fail(fail(ErrorKind::AlreadyExists, heading, existing, n));
}

}  // namespace ixo::preflight
