// Unicode default full lower-case mapping (no language tailoring, with the final-sigma rule).
#pragma once

#include <string>
#include <string_view>

namespace ixo::preflight {

// text lowered as UTF-8; bytes that are not UTF-8 (never the case for archive paths) are lowered as ASCII.
std::string to_lowercase(std::string_view text);

}  // namespace ixo::preflight
