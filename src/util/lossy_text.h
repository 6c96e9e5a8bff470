// Bytes shown as text: every ill-formed UTF-8 sequence becomes U+FFFD (one per maximal ill-formed part).
#pragma once

#include <string>
#include <string_view>

namespace ixo::preflight {

std::string lossy_utf8(std::string_view bytes);

}  // namespace ixo::preflight
