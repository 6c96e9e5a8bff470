// Containers that make their library exhaust memory, run on, or leave a thread working after the call: each costs
// its own file, and the run goes on to the files after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "sample_files.h"
#include "support/run_binary.h"
#include "support/writer/archive_writer.h"
#include "transform/slots.h"

namespace ixo::test {
namespace {

namespace fs = std::filesystem;

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

fs::path source(const std::string& relative) { return fs::path(IXO_SOURCE_DIR) / relative; }

void expect_no_staging_file(const fs::path& dir) {
  for (const auto& e : fs::recursive_directory_iterator(dir))
    EXPECT_FALSE(e.path().filename().string().starts_with(".ixo-")) << e.path();
}

struct Hostile {
  std::string container;  // under the source tree
  uint8_t transform;
  std::vector<std::string> reasons;  // after the transform's prefix; a slow grower may meet either bound first
};

// The bound of a 1 MiB file stored in a container of a few KiB.
const std::string OUT_OF_MEMORY = "out of memory (limit 82 MiB)";
const std::string OUT_OF_TIME = "processor time limit exceeded (limit 11 s)";
// AddressSanitizer's own books come on top of the limit and slow each allocation, so a fast grower may run out of
// processor time first there.
#if defined(__SANITIZE_ADDRESS__)
const std::vector<std::string> UNBOUNDED_MEMORY{OUT_OF_MEMORY, OUT_OF_TIME};
#else
const std::vector<std::string> UNBOUNDED_MEMORY{OUT_OF_MEMORY};
#endif

class HostileContainer : public testing::TestWithParam<Hostile> {};

// Between two good files, the hostile one gives its line and nothing else: no crash report, no staging file.
TEST_P(HostileContainer, FailsItsFileAlone) {
  const Hostile& h = GetParam();
  const Bytes jpeg = sample("baseline-320x240.jpg");
  const Bytes stored = read_file(source(h.container));
  ASSERT_FALSE(stored.empty()) << h.container;
  const bool is_jpeg = h.transform == transform::TRANSFORM_JPEG;
  const std::string bad = is_jpeg ? "b/hostile.jpg" : "b/hostile.png";

  TempDir dir;
  ArchiveBuilder b({.version = 7});
  b.add_file("a/first.txt", bytes_of("before\n"));
  b.add(b.transformed(bad, h.transform, stored, 1 << 20, digest_of(jpeg)));
  b.add(b.transformed("c/last.jpg", transform::TRANSFORM_JPEG, transform::encode_jpeg(jpeg).value(), jpeg.size(),
                      digest_of(jpeg)));
  b.snapshot(1700000000);
  b.commit();
  ASSERT_TRUE(b.save(dir.path() / "h.ixo"));

  const std::string prefix = is_jpeg ? "JPEG reconstruction failed: " : "preflate could not rebuild a file: ";
  const std::string before = "\r  file 1/3\nFAILED: " + bad + ": " + prefix;
  const std::string after = "\n\r  file 2/3\r  file 3/3\n";
  for (const bool testing : {false, true}) {
    const fs::path out = dir.path() / "out";
    const RunResult run = testing ? run_program({"-t", (dir.path() / "h.ixo").string()})
                                  : run_program({(dir.path() / "h.ixo").string(), out.string()});
    EXPECT_EQ(run.status, 1) << show(run);
    const bool framed = run.err.starts_with(before) && run.err.ends_with(after) &&
                        run.err.size() >= before.size() + after.size();
    EXPECT_TRUE(framed) << show(run);
    if (framed) {
      const std::string reason = run.err.substr(before.size(), run.err.size() - before.size() - after.size());
      EXPECT_NE(std::find(h.reasons.begin(), h.reasons.end(), reason), h.reasons.end()) << show(run);
    }
    const std::string report = testing ? "tested 3 files in #s, 1 FAILED\n"
                                       : "extracted 3 files in #s, 1 FAILED\ninto " + out.string() + "\n";
    EXPECT_EQ(without_seconds(run.out), report)
        << show(run);
    if (testing) continue;
    EXPECT_EQ(read_file(out / "a/first.txt"), bytes_of("before\n"));
    EXPECT_TRUE(read_file(out / "c/last.jpg") == jpeg);
    EXPECT_FALSE(fs::exists(out / bad));
    expect_no_staging_file(out);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Known, HostileContainer,
    testing::Values(
        Hostile{"tests/transform/data/hostile/stray-worker-671b.lep", transform::TRANSFORM_JPEG,
                {"VerificationLengthMismatch: ERROR mismatch input_len = 3394003983, decoded_len = 671\n"
                 " at lepton_jpeg-0.5.3/src/structs/lepton_file_reader.rs:513:24\n"
                 " at lepton_jpeg-0.5.3/src/structs/lepton_file_reader.rs:54:14"}},
        Hostile{"fuzz/preflate_decode_regressions/unbounded-memory-1787b.pfl", transform::TRANSFORM_PREFLATE,
                UNBOUNDED_MEMORY},
        Hostile{"fuzz/preflate_decode_regressions/unbounded-memory-5919b.pfl", transform::TRANSFORM_PREFLATE,
                UNBOUNDED_MEMORY},
        Hostile{"fuzz/preflate_decode_regressions/unbounded-memory-12117b.pfl", transform::TRANSFORM_PREFLATE,
                UNBOUNDED_MEMORY},
        Hostile{"fuzz/preflate_decode_regressions/slow-growth-83b.pfl", transform::TRANSFORM_PREFLATE,
                {OUT_OF_MEMORY, OUT_OF_TIME}},
        Hostile{"fuzz/preflate_decode_regressions/slow-growth-11413b.pfl", transform::TRANSFORM_PREFLATE,
                {OUT_OF_MEMORY, OUT_OF_TIME}}),
    [](const auto& info) {
      std::string name = fs::path(info.param.container).stem().string();
      std::erase_if(name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); });
      return name;
    });

// The archive in which the stray Lepton worker used to end the whole run after 30 to 60 of its 202 files.
TEST(HostileArchive, StrayLeptonWorkerCostsOneFileOfTwoHundredAndTwo) {
  TempDir dir;
  const fs::path archive = source("tests/transform/data/hostile/stray-worker-202-files.ixo");
  const RunResult run = run_program({archive.string(), (dir.path() / "out").string()});
  EXPECT_EQ(run.status, 1) << show(run);
  EXPECT_TRUE(without_seconds(run.out).starts_with("extracted 202 files in #s, 1 FAILED\n")) << show(run);
  EXPECT_NE(run.err.find("\nFAILED: x.jpg: JPEG reconstruction failed: VerificationLengthMismatch"), std::string::npos)
      << show(run);
  EXPECT_NE(run.err.find("file 202/202"), std::string::npos) << show(run);
  size_t restored = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir.path() / "out")) restored += e.is_regular_file();
  EXPECT_EQ(restored, 201u);
  expect_no_staging_file(dir.path() / "out");
}

}  // namespace
}  // namespace ixo::test
