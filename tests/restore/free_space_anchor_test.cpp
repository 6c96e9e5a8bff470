// The folder the free-space refusal names is the output path as written, or the nearest existing folder
// above it, never a rewritten form of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fixture.h"
#include "preflight/preflight.h"

namespace {

namespace fs = std::filesystem;
using namespace ixo;

std::string anchor_named(const std::string& out) {
  format::FileEntry huge;
  huge.path = "f";
  huge.size = UINT64_MAX / 2;
  const std::vector<const format::FileEntry*> files = {&huge};
  const Status s = preflight::check(files, out);
  if (s) return "passed";
  const std::string text = s.error().to_string();
  const size_t at = text.find(" is free at ");
  const size_t end = text.rfind("; nothing was extracted");
  if (at == std::string::npos || end == std::string::npos) return text;
  return text.substr(at + 12, end - at - 12);
}

TEST(FreeSpaceAnchor, TheOutputPathAsWritten) {
  test::TempFolder t;
  const std::string T = t.path().string();
  fs::create_directories(t / "a");
  fs::create_directories(t / "o");
  const struct {
    std::string out, anchor;
  } cases[] = {
      {T + "/./a", T + "/./a"},
      {T + "/o/", T + "/o/"},
      {T + "//o", T + "//o"},
      {T + "/./a/new", T + "/./a"},       // the parent keeps the "." before it
      {T + "/o//new/./", T + "/o"},       // separators and "." at the end do not count
      {T + "/a/../o/new", T + "/a/../o"},
      {T + "/missing/deeper", T},
  };
  for (const auto& c : cases) EXPECT_EQ(anchor_named(c.out), c.anchor) << c.out;
}

}  // namespace
