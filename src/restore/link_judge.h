// Where a symbolic link leads: its target followed as the system follows it, through the links that stand in the
// output folder and those that the run is about to make, judged against the output folder's bounds.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ixo::pack {

// What stands at a path below the output folder.
struct Standing {
  enum Kind : uint8_t { Nothing, Folder, Link, Other, Unknown } kind = Nothing;
  std::string target{};  // of a Link
};

// Answers for a path below the output folder ('/'-separated plain names).
using LookUp = std::function<Standing(std::string_view path)>;

// The system's bound on the links one path may pass through; past it a path leads nowhere (a loop).
inline constexpr int MAX_LINKS_FOLLOWED = 40;

// Whether the link at link_path, holding target, leads inside the output folder once followed, at most
// MAX_LINKS_FOLLOWED links deep: every piece is looked up, a link on the way is followed from its own folder, a
// piece that stands nowhere resolves by its text from there on, and a regular file on the way ends the path
// inside. An absolute target, a climb above the output folder, a loop or a look-up that cannot tell lead
// outside. consulted, when given, receives every path looked up.
bool leads_inside(std::string_view link_path, std::string_view target, const LookUp& look_up,
                  std::vector<std::string>* consulted = nullptr);

struct LinkToMake {
  std::string_view path;
  std::string_view target;
};

// Which of links, made in this order into the tree that disk describes, may be made: each one that leads inside
// with all those that may be made standing (a link whose place is taken, or whose folder cannot be made, is
// not made and changes nothing). A link whose verdict would depend on one that may not be made is refused too.
std::vector<bool> links_leading_inside(std::span<const LinkToMake> links, const LookUp& disk);

}  // namespace ixo::pack
