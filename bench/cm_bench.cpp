// Decode speed of the context-mixing engine per profile and level, with model memory.
// Usage: cm_bench <name>=<file> ... [--levels 1,4,9]
//        cm_bench --encode <profile> <level> <input> <stream>   (writes the stream)
//        cm_bench --decode <stream> <input>   (prints the decode's thread CPU, wall and thread
//                                              user-mode seconds)
// The last two let a script time two builds of the engine on the same stream in turn.
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cm_encoder.h"
#include "ixo_cm.h"
#include "model.h"

namespace {

struct Input {
  std::string name;
  std::vector<uint8_t> data;
};

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// CPU time of the calling thread: on a shared machine it shows the engine's own speed, which
// the wall-clock figure hides behind the other processes' load.
double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// User-mode CPU time of the calling thread: the engine's own work, without the kernel's first
// touch of the model's tables (which a virtual machine may make far dearer than the work).
double thread_user_seconds() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) / 1e6;
}

// Resident memory from /proc/self/status ("VmRSS" or "VmHWM"), in KiB.
long status_kib(const char* field) {
  std::ifstream f("/proc/self/status");
  std::string line;
  const size_t len = std::strlen(field);
  while (std::getline(f, line))
    if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':')
      return std::atol(line.c_str() + len + 1);
  return -1;
}

// Resets the peak resident figure, so that the next reading of VmHWM covers one decode.
void reset_peak() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

int encode_file(int profile, int level, const std::string& in, const std::string& out) {
  const std::vector<uint8_t> stream = ixo::cm::testing::encode_stream(read_file(in), profile, level);
  std::ofstream f(out, std::ios::binary);
  f.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
  return f.good() ? 0 : 1;
}

// Decodes a stream and checks the output against the original, so that a build whose model
// differs in any way fails instead of giving a figure.
int decode_file(const std::string& stream_path, const std::string& in) {
  const std::vector<uint8_t> stream = read_file(stream_path);
  const std::vector<uint8_t> want = read_file(in);
  std::vector<uint8_t> out(want.size(), 1);
  size_t len = 0;
  const auto t = std::chrono::steady_clock::now();
  const double cpu_start = thread_cpu_seconds();
  const double user_start = thread_user_seconds();
  const int rc = ixo_cm_decompress(stream.data(), stream.size(), out.data(), out.size(), &len);
  const double cpu = thread_cpu_seconds() - cpu_start;
  const double user = thread_user_seconds() - user_start;
  const double wall = seconds_since(t);
  if (rc != IXO_CM_OK || len != want.size() || out != want) {
    std::fprintf(stderr, "decode of %s failed: rc %d\n", stream_path.c_str(), rc);
    return 1;
  }
  std::printf("%.6f %.6f %.6f\n", cpu, wall, user);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--encode") == 0)
    return encode_file(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5]);
  if (argc == 4 && std::strcmp(argv[1], "--decode") == 0) return decode_file(argv[2], argv[3]);
  std::vector<Input> inputs;
  std::vector<int> levels = {1, 4, 9};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--levels" && i + 1 < argc) {
      levels.clear();
      for (const char* p = argv[++i]; *p != '\0';) {
        levels.push_back(static_cast<int>(std::strtol(p, const_cast<char**>(&p), 10)));
        if (*p == ',') ++p;
      }
      continue;
    }
    const size_t eq = arg.find('=');
    if (eq == std::string::npos) {
      std::fprintf(stderr, "usage: cm_bench <name>=<file> ... [--levels 1,4,9]\n");
      return 2;
    }
    inputs.push_back({arg.substr(0, eq), read_file(arg.substr(eq + 1))});
  }

  std::printf("%-8s %7s %5s %7s %12s %12s %12s %7s %10s %9s\n", "input", "profile", "level", "MiB", "decode",
              "decode cpu", "encode", "ratio", "model MiB", "peak MiB");
  for (const int level : levels) {
    for (int profile = 1; profile <= 3; ++profile) {
      for (const Input& in : inputs) {
        const double mib = static_cast<double>(in.data.size()) / (1 << 20);
        auto t = std::chrono::steady_clock::now();
        const std::vector<uint8_t> stream = ixo::cm::testing::encode_stream(in.data, profile, level);
        const double enc = seconds_since(t);
        std::vector<uint8_t> out(in.data.size(), 1);  // touched now, so not counted below
        size_t len = 0;
        reset_peak();
        const long base_kib = status_kib("VmRSS");
        t = std::chrono::steady_clock::now();
        const double cpu_start = thread_cpu_seconds();
        const int rc = ixo_cm_decompress(stream.data(), stream.size(), out.data(), out.size(), &len);
        const double dec_cpu = thread_cpu_seconds() - cpu_start;
        const double dec = seconds_since(t);
        const double peak = static_cast<double>(status_kib("VmHWM") - base_kib) / 1024;
        if (rc != IXO_CM_OK || out != in.data) {
          std::fprintf(stderr, "round trip failed: %s profile %d level %d rc %d\n", in.name.c_str(), profile, level,
                       rc);
          return 1;
        }
        const double model =
            static_cast<double>(ixo::cm::Model::memory_bytes(level, in.data.size(), profile)) / (1 << 20);
        const double bytes = static_cast<double>(in.data.size());
        std::printf("%-8s %7d %5d %7.2f %7.2f MB/s %7.2f MB/s %7.2f MB/s %7.3f %10.1f %9.1f\n", in.name.c_str(),
                    profile, level, mib, bytes / dec / 1e6, bytes / dec_cpu / 1e6, bytes / enc / 1e6,
                    static_cast<double>(stream.size()) / bytes, model, peak);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
