// Which symbolic-link targets stay inside the output folder by their text.
#pragma once

#include <string_view>

namespace ixo::pack {

// False for a target that begins with '/', holds ':' or '\', or whose pieces climb above the output folder
// when walked from the folder of link_path. Lexical only: no file system is consulted.
bool symlink_stays_inside(std::string_view link_path, std::string_view target);

}  // namespace ixo::pack
