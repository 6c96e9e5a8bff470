// Real files stored in their transformed forms, restored by ixo-extract from archives of the test writer.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "lepton_edit.h"
#include "support/run_binary.h"
#include "sample_files.h"
#include "transform/slots.h"
#include "support/writer/archive_writer.h"

namespace ixo::test {
namespace {

namespace fs = std::filesystem;
using Builder = ArchiveBuilder;

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Stored {
  std::string path;
  Bytes content;
  uint8_t transform;
  Bytes stored;  // what the archive holds
};

// Each file in the transform its detector picks, through the archiver-side encoder.
std::optional<Stored> transformed(const std::string& path, const Bytes& content) {
  for (const auto& row : transform::REGISTRY) {
    if (!row.detect(content)) continue;
    auto stored = row.encode(content);
    if (!stored) return std::nullopt;
    return Stored{path, content, row.id, *stored};
  }
  return std::nullopt;
}

class TransformArchive : public testing::Test {
 protected:
  fs::path archive() const { return dir_.path() / "files.ixo"; }
  fs::path out() const { return dir_.path() / "out"; }

  void add(Builder& b, const Stored& s) {
    b.add(b.transformed(s.path, s.transform, s.stored, s.content.size(), digest_of(s.content)));
  }
  void save(Builder& b) {
    b.snapshot(1700000000);
    b.commit();
    ASSERT_TRUE(b.save(archive()));
  }
  RunResult extract() { return run_program({archive().string(), out().string()}); }

  TempDir dir_;
};

TEST_F(TransformArchive, RealFilesRestoreBitForBit) {
  std::vector<Stored> files;
  auto want = [&](const std::string& path, const Bytes& content, uint8_t transform) {
    auto s = transformed(path, content);
    ASSERT_TRUE(s.has_value()) << path;
    EXPECT_EQ(s->transform, transform) << path;
    files.push_back(*s);
  };
  for (const auto& name : SAMPLE_JPEGS) want("jpeg/" + name, sample(name), transform::TRANSFORM_JPEG);
  for (const auto& name : SAMPLE_DEFLATE_FILES) want("deflate/" + name, sample(name), transform::TRANSFORM_PREFLATE);
  if (auto big = cjpeg(ppm_picture(1500, 1100, 4), {"-quality", "92", "-progressive"})) {
    want("jpeg/large-progressive.jpg", *big, transform::TRANSFORM_JPEG);
  }
  want("deflate/large.gz", gzip_of(text_like(3 << 20, 8), 6), transform::TRANSFORM_PREFLATE);
  Bytes code = read_file(IXO_EXTRACT_BIN);
  code.resize(std::min<size_t>(code.size(), 2 << 20));
  want("bin/code", code, transform::TRANSFORM_BCJ_X86);

  Builder b({.version = 7, .chunk_size = 16 << 10});
  for (const auto& f : files) add(b, f);
  b.add_file("plain.txt", "not transformed\n");
  save(b);

  const RunResult test_run = run_program({"-t", archive().string()});
  EXPECT_EQ(test_run.status, 0) << show(test_run);
  const RunResult run = extract();
  ASSERT_EQ(run.status, 0) << show(run);
  EXPECT_NE(run.out.find("all verified"), std::string::npos) << show(run);
  for (const auto& f : files) EXPECT_TRUE(read_file(out() / f.path) == f.content) << f.path;
  EXPECT_EQ(read_file(out() / "plain.txt"), bytes_of("not transformed\n"));
}

// Every failure of a decoder is the failure of its file alone: reported on its line, never published, and the
// run goes on to the files after it.
TEST_F(TransformArchive, DecoderFailuresAreFailuresOfTheirFiles) {
  const Bytes jpeg = sample("baseline-320x240.jpg");
  const Bytes container = transform::encode_jpeg(jpeg).value();
  LeptonParts parts = split_lepton(container);
  std::erase_if(parts.sections, [](const auto& s) { return s.tag.starts_with("HH"); });
  Bytes damaged_header = container;
  const size_t header_end = 28 + (container[24] | container[25] << 8 | container[26] << 16 | size_t(container[27]) << 24);
  damaged_header[header_end - 1] ^= 1;  // the compressed header's checksum
  const Bytes gz = sample("text-9.gz");
  const Bytes gz_container = transform::encode_preflate(gz).value();

  struct Bad {
    std::string path;
    uint8_t transform;
    Bytes stored;
    uint64_t size;
    std::string message;
  } bad[] = {
      {"panics.jpg", transform::TRANSFORM_JPEG, join_lepton(parts), jpeg.size(),
       "jpeg decoder crashed while rebuilding a file"},
      {"damaged.jpg", transform::TRANSFORM_JPEG, damaged_header, jpeg.size(),
       "JPEG reconstruction failed: damaged Lepton header"},
      {"short.jpg", transform::TRANSFORM_JPEG, container, jpeg.size() - 1, "JPEG reconstruction failed: "},
      {"short.gz", transform::TRANSFORM_PREFLATE, gz_container, gz.size() - 1,
       "preflate could not rebuild a file: "},
      {"empty.gz", transform::TRANSFORM_PREFLATE, {}, 10, "preflate could not rebuild a file: "},
  };
  Builder b({.version = 7});
  for (const auto& x : bad) b.add(b.transformed(x.path, x.transform, x.stored, x.size, digest_of(jpeg)));
  add(b, Stored{"good.jpg", jpeg, transform::TRANSFORM_JPEG, container});
  save(b);

  const RunResult run = extract();
  EXPECT_EQ(run.status, 1) << show(run);
  for (const auto& x : bad) {
    EXPECT_NE(run.err.find("\nFAILED: " + x.path + ": " + x.message), std::string::npos) << x.path << show(run);
    EXPECT_FALSE(fs::exists(out() / x.path)) << x.path;
  }
  EXPECT_NE(run.err.find("transform output exceeds limit"), std::string::npos) << show(run);
  EXPECT_EQ(run.err.find("panicked"), std::string::npos) << show(run);  // the crash report stays silent
  EXPECT_TRUE(read_file(out() / "good.jpg") == jpeg);
  for (const auto& e : fs::directory_iterator(out())) EXPECT_FALSE(e.path().filename().string().starts_with(".ixo-"));
}

}  // namespace
}  // namespace ixo::test
