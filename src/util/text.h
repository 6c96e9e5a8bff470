// Text building without <format> (not in g++ 12): cat("a", 1, 'b') gives "a1b".
#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace ixo {

namespace detail {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <std::integral T>
  requires(!std::same_as<T, char> && !std::same_as<T, bool>)
void append(std::string& out, T v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}
}  // namespace detail

template <class... A>
std::string cat(const A&... parts) {
  std::string out;
  (detail::append(out, parts), ...);
  return out;
}

}  // namespace ixo
