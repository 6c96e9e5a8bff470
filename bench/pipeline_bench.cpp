// Decode throughput and memory of test-like runs through the extraction pipeline.
//
//   pipeline_bench pack FOLDER OUT.ixo CODEC LEVEL MIB   packs up to MIB MiB of FOLDER's regular files
//   pipeline_bench dedup OUT.ixo                          1 GiB in 64 MiB zstd blocks, chunks repeated across blocks
//   pipeline_bench cm FILE OUT.ixo BLOCKS                 FILE cut into BLOCKS modelled cm blocks (profile 1, level 2)
//   pipeline_bench blocks ARCHIVE OUT                     the stored blocks back to back (for zstd -d / xz -d)
//   pipeline_bench test ARCHIVE THREADS [ROUNDS]          every file rebuilt and verified, as -t does
//
// "test" prints the decoded MB/s (best of ROUNDS), the peak resident memory of the process, the most bytes the
// block feed held at once and the bound the plan gives for them.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "cm_encoder.h"
#include "pipeline/chunk.h"
#include "pipeline/pipeline.h"
#include "pipeline/read_plan.h"
#include "support/writer/archive_writer.h"
#include "util/blake3.h"

namespace fs = std::filesystem;
using namespace ixo;

namespace {

int die(const std::string& what) {
  std::fprintf(stderr, "pipeline_bench: %s\n", what.c_str());
  return 1;
}

test::Bytes read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return test::Bytes(std::istreambuf_iterator<char>(in), {});
}

int pack_folder(const fs::path& folder, const fs::path& out, const std::string& codec, int level, uint64_t mib) {
  test::ArchiveOptions o;
  o.codec = codec == "lzma2" ? test::Codec::Lzma2 : codec == "store" ? test::Codec::Store : test::Codec::Zstd;
  o.level = level;
  o.block_size = 4 << 20;
  o.chunk_size = 1 << 20;
  o.dedup = true;
  o.retain_blocks = false;
  test::ArchiveBuilder b(o);
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  uint64_t total = 0;
  size_t n = 0;
  for (const fs::path& f : files) {
    if (total >= mib << 20) break;
    const test::Bytes data = read_file(f);
    b.add_file(fs::relative(f, folder).string(), data);
    total += data.size();
    ++n;
  }
  b.snapshot();
  b.commit();
  if (!b.save(out)) return die("cannot write " + out.string());
  std::printf("packed %zu files, %.1f MiB, into %.1f MiB (%s)\n", n, total / 1048576.0,
              fs::file_size(out) / 1048576.0, codec.c_str());
  return 0;
}

// 16 blocks of 64 MiB; 32 files, each reading 16 MiB of one block, 16 MiB of another and again 8 MiB of the
// first, so that blocks are held, compacted and decoded again.
int dedup(const fs::path& out) {
  test::ArchiveOptions o;
  o.codec = test::Codec::Zstd;
  o.level = 1;
  test::ArchiveBuilder b(o);
  constexpr uint32_t BLOCK = 64 << 20, CHUNK = 1 << 20, BLOCKS = 16;
  uint64_t x = 88172645463325252ull;
  for (uint32_t k = 0; k < BLOCKS; ++k) {
    test::Bytes raw(BLOCK);
    for (size_t i = 0; i < raw.size(); i += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      // Half random, half runs: zstd at about 2:1.
      const uint64_t v = (i / 4096) % 2 ? x : 0x2020202020202020ull + (x & 0x0101010101010101ull);
      std::memcpy(raw.data() + i, &v, 8);
    }
    b.add_block(raw);
  }
  for (uint32_t f = 0; f < 32; ++f) {
    const uint32_t first = f % BLOCKS, second = (f * 5 + 3) % BLOCKS;
    std::vector<uint32_t> chunks;
    for (uint32_t i = 0; i < 16; ++i) chunks.push_back(b.add_chunk(first, ((f / BLOCKS) * 16 + i) * CHUNK, CHUNK));
    for (uint32_t i = 0; i < 16; ++i) chunks.push_back(b.add_chunk(second, (32 + i) * CHUNK, CHUNK));
    for (uint32_t i = 0; i < 8; ++i) chunks.push_back(b.add_chunk(first, (48 + i) * CHUNK, CHUNK));
    b.add(b.file_of_chunks("f" + std::to_string(f), chunks));
  }
  b.snapshot();
  b.commit();
  if (!b.save(out)) return die("cannot write " + out.string());
  std::printf("wrote 1 GiB in 16 blocks of 64 MiB, 32 files of 40 MiB, %.1f MiB stored\n",
              fs::file_size(out) / 1048576.0);
  return 0;
}

// One file whose bytes fill the given number of cm blocks, each modelled by the engine's test encoder, so that
// every block costs a full model decode.
int cm_blocks(const fs::path& input, const fs::path& out, uint64_t count) {
  const test::Bytes data = read_file(input);
  if (data.empty() || count == 0) return die("no data for the cm blocks");
  test::ArchiveOptions o;
  o.codec = test::Codec::Cm;
  o.block_size = (data.size() + count - 1) / count;
  o.chunk_size = o.block_size;
  o.cm_encoder = [](std::span<const uint8_t> raw) { return cm::testing::encode_stream(raw, 1, 2); };
  test::ArchiveBuilder b(o);
  b.add_file("text", data);
  b.snapshot();
  b.commit();
  if (!b.save(out)) return die("cannot write " + out.string());
  std::printf("packed %.1f MiB into %llu cm blocks, %.1f MiB stored\n", data.size() / 1048576.0,
              static_cast<unsigned long long>(count), fs::file_size(out) / 1048576.0);
  return 0;
}

int blocks(const fs::path& archive_path, const fs::path& out) {
  auto archive = pack::Archive::open(archive_path);
  if (!archive) return die(archive.error().to_string());
  std::ofstream o(out, std::ios::binary);
  uint64_t raw = 0;
  for (const auto& b : archive->blocks) {
    std::vector<uint8_t> stored(b.stored_len);
    if (!archive->read_at(b.position, stored)) return die("read");
    o.write(reinterpret_cast<const char*>(stored.data()), std::streamsize(stored.size()));
    raw += b.raw_len;
  }
  std::printf("%llu\n", static_cast<unsigned long long>(raw));
  return 0;
}

int run_test(const fs::path& archive_path, uint64_t threads, int rounds) {
  auto archive = pack::Archive::open(archive_path);
  if (!archive) return die(archive.error().to_string());
  const format::EntryList list = format::snapshot_files(archive->snapshots, archive->snapshots.size() - 1);
  uint64_t decoded = 0, largest = 0, largest_stored = 0;
  for (const auto& b : archive->blocks) {
    decoded += b.raw_len;
    largest = std::max(largest, b.raw_len);
    largest_stored = std::max(largest_stored, b.stored_len);
  }

  rusage start{};
  getrusage(RUSAGE_SELF, &start);  // the program and the opened index, before any block
  double best = 1e300;
  uint64_t bytes = 0, peak_held = 0, failures = 0;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    auto result = pack::with_feed(*archive, list, threads, [&](pack::BlockFeed& feed) -> Result<uint64_t> {
      uint64_t n = 0;
      for (const format::FileEntry* f : list) {
        if (f->kind != format::Regular) continue;
        blake3::Hasher h;
        uint64_t len = 0;
        for (const uint32_t c : f->chunks) {
          auto chunk = pack::chunk(*archive, feed, c);
          if (!chunk) return fail(chunk.error());
          h.update(chunk->bytes());
          len += chunk->size();
          peak_held = std::max(peak_held, feed.held_bytes());
        }
        n += len;
        if (len != f->size || h.finalize() != f->digest) ++failures;
      }
      return n;
    });
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!result) return die(result.error().to_string());
    bytes = *result;
    best = std::min(best, s);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  const uint64_t workers = pack::at_least_one_worker(threads);
  const uint64_t budget = pack::held_budget(threads);
  // Held copies within the budget, plus the current step's whole block; then the blocks in flight.
  const uint64_t held_bound = budget + largest;
  // At most limit decoded blocks taken and not yet consumed; each worker also holds its stored bytes.
  const uint64_t flight_bound = pack::in_flight_limit(workers) * largest + workers * largest_stored;
  std::printf(
      "-j%llu: %.1f MB/s of blocks decoded (%.1f MB/s of files), best of %d: %.2fs; failures %llu\n"
      "  peak RSS %.1f MiB (%.1f MiB before the run); feed held at most %.1f MiB (bound: budget %.0f MiB + one block %.0f MiB = %.0f MiB);"
      " in flight at most %llu blocks + %llu stored = %.0f MiB; all together %.0f MiB\n",
      static_cast<unsigned long long>(threads), decoded / best / 1e6, bytes / best / 1e6, rounds, best,
      static_cast<unsigned long long>(failures), ru.ru_maxrss / 1024.0, start.ru_maxrss / 1024.0, peak_held / 1048576.0,
      budget / 1048576.0, largest / 1048576.0, held_bound / 1048576.0,
      static_cast<unsigned long long>(pack::in_flight_limit(workers)), static_cast<unsigned long long>(workers),
      flight_bound / 1048576.0,
      (held_bound + flight_bound) / 1048576.0);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 6 && a[0] == "pack") return pack_folder(a[1], a[2], a[3], std::stoi(a[4]), std::stoull(a[5]));
  if (a.size() == 2 && a[0] == "dedup") return dedup(a[1]);
  if (a.size() == 4 && a[0] == "cm") return cm_blocks(a[1], a[2], std::stoull(a[3]));
  if (a.size() == 3 && a[0] == "blocks") return blocks(a[1], a[2]);
  if ((a.size() == 3 || a.size() == 4) && a[0] == "test")
    return run_test(a[1], std::stoull(a[2]), a.size() == 4 ? std::stoi(a[3]) : 1);
  return die("usage: see the head of bench/pipeline_bench.cpp");
}
