// Runs of the program killed while many files are in flight: whatever stands under a final name is complete and
// verified, and where the file system has unnamed files no staging file is left behind.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cli_fixture.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace ixo::test;

bool unnamed_files_work(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

class Interrupted : public ProgramTest {};

TEST_F(Interrupted, KilledAtRandomPointsWithManyFilesInFlight) {
  const fs::path src = path("src");
  std::vector<std::pair<std::string, std::string>> contents;
  std::mt19937 rng(12);
  for (int i = 0; i < 3000; ++i) {
    const std::string rel = "d" + std::to_string(i / 150) + "/f" + std::to_string(i);
    std::string data(200 + rng() % 6000, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    fs::create_directories((src / rel).parent_path());
    write_text(src / rel, data);
    contents.emplace_back(rel, std::move(data));
  }
  ASSERT_TRUE(pack_folder_to(src, path("a.ixo"), {.codec = Codec::Zstd, .chunk_size = 64 << 10}).has_value());
  const bool unnamed = unnamed_files_work(t_.path());

  int killed = 0;
  for (const int delay_ms : {5, 30, 80, 150, 300, 600}) {
    SCOPED_TRACE("killed after " + std::to_string(delay_ms) + " ms");
    fs::remove_all(path("out"));
    const pid_t pid = spawn_quiet({"a.ixo", "out"}, t_.path());
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      killed += WIFSIGNALED(status);
    }
    int finals = 0;
    for (const auto& [rel, data] : contents) {
      if (!fs::exists(path("out") / rel)) continue;
      ++finals;
      EXPECT_TRUE(read_file(path("out") / rel) == data) << rel << " stands under its name but is not whole";
    }
    if (unnamed && fs::exists(path("out"))) {
      for (const auto& entry : fs::recursive_directory_iterator(path("out")))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".ixo-restore-")) << entry.path();
    }
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_EQ(finals, 3000);
    }
  }
  EXPECT_GT(killed, 0) << "every run ended before it could be killed";
}

}  // namespace
