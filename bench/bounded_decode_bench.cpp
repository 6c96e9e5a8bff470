// The cost of running the Lepton and preflate decoders in a bounded child process, and the memory they need.
// For each real file: its stored (container) length, the smallest data limit under which it still rebuilds (found
// by bisection, in MiB) against the larger of its two lengths, the processor time a decode takes, and the time of
// a decode in process against a bounded one, over paired rounds in alternating order (median of the ratios).
// Built and run by bench/bounded_decode.sh.
#include <sys/resource.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "transform/bounded_decode.h"
#include "transform/bridge_call.h"
#include "transform/lepton_header.h"
#include "transform/registry.h"
#include "transform/slots.h"
#include "platform/fork_server.h"
#include "transform/quiet.h"
#include "transform/sample_files.h"

namespace {

using ixo::test::Bytes;
namespace t = ixo::transform;

constexpr uint64_t MiB = 1 << 20;

double now(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

void be32(Bytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

void chunk(Bytes& png, const char* type, const Bytes& data) {
  be32(png, static_cast<uint32_t>(data.size()));
  const size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  be32(png, static_cast<uint32_t>(crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
}

// An RGB PNG of the test picture, rows unfiltered, deflated by zlib at level 9.
Bytes png_of(int width, int height) {
  const Bytes ppm = ixo::test::ppm_picture(width, height, 7);
  const size_t header = ppm.size() - size_t(width) * height * 3;
  Bytes raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    const auto row = ppm.begin() + header + size_t(y) * width * 3;
    raw.insert(raw.end(), row, row + width * 3);
  }
  uLongf len = compressBound(raw.size());
  Bytes z(len);
  compress2(z.data(), &len, raw.data(), raw.size(), 9);
  z.resize(len);
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Bytes ihdr;
  be32(ihdr, width);
  be32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  chunk(png, "IHDR", ihdr);
  chunk(png, "IDAT", z);
  chunk(png, "IEND", {});
  return png;
}

// A ZIP made by the zip program of text files; nothing when it is not installed.
std::optional<Bytes> zip_of_texts(size_t files, size_t each) {
  namespace fs = std::filesystem;
  const ixo::test::TempDir dir;
  for (size_t i = 0; i < files; ++i) {
    const Bytes text = ixo::test::text_like(each, static_cast<uint32_t>(i + 1));
    std::ofstream(dir.path() / ("t" + std::to_string(i) + ".txt"), std::ios::binary)
        .write(reinterpret_cast<const char*>(text.data()), static_cast<std::streamsize>(text.size()));
  }
  const std::string cmd = "cd '" + dir.path().string() + "' && zip -q -9 all.zip t*.txt";
  if (std::system(cmd.c_str()) != 0) return std::nullopt;
  std::ifstream in(dir.path() / "all.zip", std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Input {
  std::string name;
  Bytes content;
};

t::BridgeFn decoder_of(uint8_t id) { return id == t::TRANSFORM_JPEG ? ixo_lepton_decode : ixo_preflate_decode; }

bool bounded_ok(const t::TransformSpec& row, const Bytes& stored, const Bytes& content, uint64_t mib) {
  const t::DecodeBound bound{mib * MiB, 600, 1200};
  try {
    auto r = t::run_bounded(decoder_of(row.id), stored, content.size(), "", bound);
    return r && *r == content;
  } catch (...) {
    return false;
  }
}

double in_process_seconds(const t::TransformSpec& row, const Bytes& stored, const Bytes& content) {
  const double t0 = now(CLOCK_MONOTONIC);
  t::LimitedVec out(content.size());
  out.reserve(content.size());
  auto r = t::run_decoder(decoder_of(row.id), stored, out, "");
  const double t1 = now(CLOCK_MONOTONIC);
  if (!r || *r != content) std::fprintf(stderr, "in-process decode failed\n");
  return t1 - t0;
}

double bounded_seconds(const t::TransformSpec& row, const Bytes& stored, const Bytes& content) {
  const double t0 = now(CLOCK_MONOTONIC);
  auto r = row.decode(stored, content.size());
  const double t1 = now(CLOCK_MONOTONIC);
  if (!r || *r != content) std::fprintf(stderr, "bounded decode failed\n");
  return t1 - t0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  t::install_panic_filter();
  ixo::platform::start_fork_server();
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;

  std::vector<Input> inputs;
  for (const auto& n : ixo::test::SAMPLE_JPEGS) inputs.push_back({n, ixo::test::sample(n)});
  for (const auto& n : ixo::test::SAMPLE_DEFLATE_FILES) inputs.push_back({n, ixo::test::sample(n)});
  auto jpeg = [&](const std::string& name, int w, int h, std::vector<std::string> options) {
    if (auto j = ixo::test::cjpeg(ixo::test::ppm_picture(w, h, 4), options)) inputs.push_back({name, *j});
  };
  jpeg("made-1500x1100-progressive.jpg", 1500, 1100, {"-quality", "92", "-progressive"});
  jpeg("made-4096x4096-baseline.jpg", 4096, 4096, {"-quality", "95"});
  jpeg("made-4096x4096-progressive.jpg", 4096, 4096, {"-quality", "95", "-progressive"});
  inputs.push_back({"made-1000x800.png", png_of(1000, 800)});
  inputs.push_back({"made-3000x2000.png", png_of(3000, 2000)});
  for (const size_t mib : {1, 8, 32})
    for (const int level : {6, 9})
      inputs.push_back({"made-" + std::to_string(mib) + "MiB-level" + std::to_string(level) + ".gz",
                        ixo::test::gzip_of(ixo::test::text_like(mib * MiB, 3), level)});
  if (auto z = zip_of_texts(8, 1 << 20)) inputs.push_back({"made-8x1MiB.zip", *z});

  std::printf("%-34s %10s %10s %8s %8s %9s %10s %10s %7s\n", "file", "size", "stored", "need MiB", "need/MiB",
              "cpu s/MiB", "in-proc ms", "bounded ms", "ratio");
  for (const Input& in : inputs) {
    const t::TransformSpec* row = nullptr;
    for (const auto& r : t::REGISTRY)
      if (r.id != t::TRANSFORM_BCJ_X86 && r.detect(in.content)) row = &r;
    if (row == nullptr) continue;
    auto stored = row->encode(in.content);
    if (!stored) {
      std::printf("%-34s (not encoded)\n", in.name.c_str());
      continue;
    }
    uint64_t lo = 0, hi = 8192;  // lo fails, hi succeeds
    if (!bounded_ok(*row, *stored, in.content, hi)) {
      std::printf("%-34s (does not rebuild under %lu MiB)\n", in.name.c_str(), hi);
      continue;
    }
    while (hi - lo > 1) {
      const uint64_t mid = (lo + hi) / 2;
      (bounded_ok(*row, *stored, in.content, mid) ? hi : lo) = mid;
    }
    const double larger = std::max(stored->size(), in.content.size()) / double(MiB);
    const double c0 = now(CLOCK_PROCESS_CPUTIME_ID);
    in_process_seconds(*row, *stored, in.content);
    const double cpu = now(CLOCK_PROCESS_CPUTIME_ID) - c0;
    std::vector<double> ours, theirs, ratios;
    for (int r = 0; r < rounds; ++r) {
      double a, b;
      if (r % 2) {
        b = bounded_seconds(*row, *stored, in.content);
        a = in_process_seconds(*row, *stored, in.content);
      } else {
        a = in_process_seconds(*row, *stored, in.content);
        b = bounded_seconds(*row, *stored, in.content);
      }
      theirs.push_back(a);
      ours.push_back(b);
      ratios.push_back(b / a);
    }
    std::printf("%-34s %10zu %10zu %8lu %8.1f %9.3f %10.2f %10.2f %7.3f\n", in.name.c_str(), in.content.size(),
                stored->size(), hi, hi / std::max(larger, 1.0 / 1024), cpu / std::max(larger, 1.0 / 1024),
                median(theirs) * 1e3, median(ours) * 1e3, median(ratios));
    std::fflush(stdout);
  }
}
