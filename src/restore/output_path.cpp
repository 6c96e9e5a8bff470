#include "restore/output_path.h"

#include <string>

#include "codec/codec.h"
#include "restore/output_tree.h"
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

std::string_view folder_of(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
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
  OutputTree tree(root);
  Result<Place> place = tree.place_entry(path);
  if (!place) return fail(place.error());
  return tree.final_path(path);
}

}  // namespace ixo::pack
