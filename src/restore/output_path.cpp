#include "restore/output_path.h"

#include <algorithm>
#include <string>

#include "codec/codec.h"
#include "platform/directory.h"
#include "util/text.h"

namespace ixo::pack {
namespace {

bool refused(std::string_view piece) {
  return piece.empty() || piece == "." || piece == ".." || piece.find_first_of(":\\") != std::string_view::npos;
}

// The path as it can be shown: a NUL byte would cut the line short.
std::string printable(std::string_view path) {
  std::string out;
  for (const char c : path) {
    if (c == '\0')
      out += "\\0";
    else
      out += c;
  }
  return out;
}

template <class F>
Status for_each_piece(std::string_view path, F&& f) {
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('/', start);
    const std::string_view piece = path.substr(start, end == std::string_view::npos ? path.size() - start : end - start);
    if (Status ok = f(piece); !ok) return ok;
    if (end == std::string_view::npos) return {};
    start = end + 1;
  }
}

}  // namespace

std::string_view last_piece(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

Status check_archive_path(std::string_view path) {
  // A C string would end at the NUL and name another file than the archive does.
  if (path.find('\0') != std::string_view::npos)
    return fail(Error::message(ErrorKind::InvalidInput, cat("path contains a NUL byte: ", printable(path))));
  return for_each_piece(path, [&](std::string_view piece) -> Status {
    if (refused(piece)) return fail(codec::invalid(cat("unsafe path in archive: ", path)));
    return {};
  });
}

Result<std::filesystem::path> safe_join(const std::filesystem::path& root, std::string_view path) {
  if (Status ok = check_archive_path(path); !ok) return fail(ok.error());
  std::string joined = root.native();
  joined.reserve(joined.size() + 1 + path.size());
  (void)for_each_piece(path, [&](std::string_view piece) -> Status {
    if (!joined.empty() && joined.back() != '/') joined += '/';
    joined += piece;
    return {};
  });
  return std::filesystem::path(std::move(joined));
}

Result<std::filesystem::path> output_path(const std::filesystem::path& root, std::string_view path) {
  if (Status tested = check_archive_path(path); !tested) return fail(tested.error());
  if (Status ok = platform::make_dirs(root); !ok) return fail(ok.error());
  auto root_type = platform::entry_type(root);
  if (!root_type) return fail(root_type.error());
  if (*root_type != platform::EntryType::Directory) return fail(codec::invalid("output root is not a real directory"));
  auto canonical_root = platform::canonical(root);
  if (!canonical_root) return fail(canonical_root.error());
  auto full = safe_join(*canonical_root, path);
  if (!full) return fail(full.error());

  // From the canonical root down to the entry's parent, one level at a time, never through a link.
  std::filesystem::path folder = *canonical_root;
  size_t pieces_left = 1 + std::count(path.begin(), path.end(), '/');
  Status walked = for_each_piece(path, [&](std::string_view piece) -> Status {
    auto type = platform::entry_type(folder);
    if (!type) {
      if (type.error().kind() != ErrorKind::NotFound) return fail(type.error());
      if (Status made = platform::make_dir(folder); !made) return made;
    } else if (*type != platform::EntryType::Directory) {
      return fail(codec::invalid("output parent is not a real directory"));
    }
    if (--pieces_left > 0) folder /= std::string(piece);
    return {};
  });
  if (!walked) return fail(walked.error());
  return std::move(*full);
}

}  // namespace ixo::pack
