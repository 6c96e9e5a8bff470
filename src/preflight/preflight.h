// Refusals before an extraction writes anything: letter-case collisions on a destination that does not tell
// case apart, entries that already exist, and too little free space. The engine still guards every write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "pipeline/read_plan.h"

namespace ixo::preflight {

// Whether something stands at path (read without following a final symbolic link). The case probe asks it
// about the capitalised probe name; tests give one that stands for a destination that does not tell case apart.
using CaseLookup = bool (*)(const std::filesystem::path& path);
bool stands_at(const std::filesystem::path& path);

// Nothing when the destination passes, else the first refusal, in this order: case collisions (InvalidInput),
// existing entries (AlreadyExists), free space below the files' total + 1% + 16 MiB (StorageFull).
Status check(pack::Selection files, const std::filesystem::path& out, CaseLookup lookup = stands_at);

// The case probe in the anchor folder and, when the destination does not tell case apart, the collision test.
Status check_case_collisions(pack::Selection files, const std::filesystem::path& anchor,
                             CaseLookup lookup = stands_at);

// Groups of two or more of paths (or of their folders) that lower-case alike; each group in byte order, the
// groups ordered by their paths. The views point into paths.
std::vector<std::vector<std::string_view>> case_collisions(const std::vector<std::string_view>& paths);

// Every selected entry other than a directory that already stands under out.
Status check_existing(pack::Selection files, const std::filesystem::path& out);

// The free-space test at the anchor folder.
Status check_free_space(pack::Selection files, const std::filesystem::path& anchor);

// needed + needed / 100 + 16 MiB, with needed the regular files' total size; every addition saturates.
uint64_t required_space(pack::Selection files);

// heading, then at most five items on lines of their own, then "... and {n} more" when total exceeds five.
Error fail(ErrorKind kind, std::string_view heading, const std::vector<std::string>& items, uint64_t total);

}  // namespace ixo::preflight
