// Archive paths joined under an output root, so that nothing is created outside it or through a symbolic
// link inside it.
#pragma once

#include <filesystem>
#include <string_view>

#include "error.h"

namespace ixo::pack {

// root joined with the '/'-separated pieces of path. Refuses, with InvalidData "unsafe path in archive:
// {path}", an empty piece, ".", "..", or a piece holding ':' or '\'; a path holding a NUL byte fails with
// InvalidInput. Touches no file system.
Result<std::filesystem::path> safe_join(const std::filesystem::path& root, std::string_view path);
// The tests of safe_join alone, with its errors: nothing is joined.
Status check_archive_path(std::string_view path);
// The piece of path after its last '/' (all of it when it has none).
std::string_view last_piece(std::string_view path);
// The pieces of path before its last '/' (empty when it has none).
std::string_view folder_of(std::string_view path);

// The final output path of the entry at path: tests path, creates root with its missing ancestors, requires
// root ("output root is not a real directory") and every folder between it and the entry ("output parent is
// not a real directory") to be real directories, creating the missing ones one level at a time, and answers
// under root's canonical form. Does not look at the entry's own final path. The walk is the output tree's.
Result<std::filesystem::path> output_path(const std::filesystem::path& root, std::string_view path);

}  // namespace ixo::pack
