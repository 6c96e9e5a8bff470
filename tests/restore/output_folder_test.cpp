// The search of a free output folder name: only a name that exists sends it on to the next.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/output_folder.h"
#include "fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace ixo;

std::vector<std::string> tried;
int fail_with = 0;  // the error of the second name

Status first_exists_then_fails(const fs::path& path) {
  tried.push_back(path.filename().string());
  if (tried.size() == 1) return fail(Error::os(EEXIST));
  if (tried.size() == 2) return fail(Error::os(fail_with));
  return {};
}

TEST(ChooseOutputFolder, AnErrorOtherThanExistsEndsTheSearchUnchanged) {
  for (const int err : {EACCES, EIO, ENOSPC, EROFS}) {
    tried.clear();
    fail_with = err;
    const auto r = cli::choose_output_folder("/x/photos.ixo", first_exists_then_fails);
    ASSERT_FALSE(r.has_value()) << err;
    EXPECT_EQ(r.error().to_string(), Error::os(err).to_string());
    EXPECT_EQ(r.error().os_error(), err);
    EXPECT_EQ(tried, (std::vector<std::string>{"photos", "photos (2)"})) << "no name after the failing one";
  }
}

// The real thing: a stem so long that "stem (2)" is no valid name; the system's text comes through as it is.
TEST(ChooseOutputFolder, ANameTooLongForTheSystem) {
  test::TempFolder t;
  const std::string stem(252, 's');
  fs::create_directory(t / stem);
  const auto r = cli::choose_output_folder(t / (stem + ".ixo"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "File name too long (os error 36)");
}

}  // namespace
