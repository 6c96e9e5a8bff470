#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "fixture.h"
#include "pipeline/block_decode.h"
#include "pipeline/chunk.h"
#include "pipeline/pipeline.h"
#include "util/blake3.h"

namespace ixo::pack {
namespace {

using Bytes = std::vector<uint8_t>;

size_t thread_count() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// The thread count once it has come down to expected, or after two seconds: a thread that has been joined can
// still be listed for a moment while the kernel finishes it.
size_t thread_count_after_joins(size_t expected) {
  size_t n = thread_count();
  for (int i = 0; i < 200 && n > expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = thread_count();
  }
  return n;
}

// Blocks of every codec; files whose chunks repeat across blocks and files, with deltas and planes.
struct Mixed {
  fixture::ArchiveBuilder b;
  fixture::Files files;
  Bytes expected;  // every file's bytes, in order

  Mixed() {
    std::vector<uint32_t> plain;
    for (uint32_t i = 0; i < 12; ++i) {
      const Bytes raw = i % 2 ? fixture::text_like(40000 + 977 * i, i) : fixture::pattern(30000 + 131 * i, i);
      const uint32_t blk = b.block(raw, uint8_t(i % 4));
      for (uint32_t off = 0; off + 5000 <= raw.size(); off += 5000) plain.push_back(b.chunk(blk, off, 5000));
    }
    // A delta chunk against a base in another block, and a plane chunk.
    const Bytes target = fixture::pattern(5000, 99);
    Bytes stored(5000);
    const Bytes base = b.chunk_bytes(plain[3]);
    for (size_t i = 0; i < stored.size(); ++i) stored[i] = base[i] ^ target[i];
    const uint32_t dblk = b.block(stored, 1);
    const uint32_t delta = b.chunk(dblk, 0, 5000, 4, plain[3], target);

    auto add = [&](std::vector<uint32_t> chunks, std::vector<Bytes> parts) {
      files.regular(std::move(chunks));
      for (const Bytes& p : parts) expected.insert(expected.end(), p.begin(), p.end());
    };
    std::vector<uint32_t> forward(plain.begin(), plain.end());
    std::vector<uint32_t> backward(plain.rbegin(), plain.rend());
    std::vector<Bytes> fwd, bwd;
    for (const uint32_t c : forward) fwd.push_back(b.chunk_bytes(c));
    for (const uint32_t c : backward) bwd.push_back(b.chunk_bytes(c));
    add(forward, fwd);
    files.other(format::Directory);
    add({delta, plain[0], delta}, {target, b.chunk_bytes(plain[0]), target});
    add(backward, bwd);
    add({plain[7], plain[1], plain[7], plain[30], plain[1]},
        {b.chunk_bytes(plain[7]), b.chunk_bytes(plain[1]), b.chunk_bytes(plain[7]), b.chunk_bytes(plain[30]),
         b.chunk_bytes(plain[1])});
  }
};

// Rebuilds every chunk of every regular file, in order, into one buffer.
Result<Bytes> rebuild(const Archive& archive, const format::EntryList& list, uint64_t threads) {
  return with_feed(archive, list, threads, [&](BlockFeed& feed) -> Result<Bytes> {
    Bytes out;
    for (const format::FileEntry* f : list) {
      if (f->kind != format::Regular) continue;
      for (const uint32_t c : f->chunks) {
        auto bytes = chunk(archive, feed, c);
        if (!bytes) return fail(bytes.error());
        out.insert(out.end(), bytes->bytes().begin(), bytes->bytes().end());
      }
    }
    return out;
  });
}

TEST(Pipeline, OutputIsByteIdenticalAtEveryWorkerCount) {
  Mixed m;
  fixture::TempDir dir;
  const Archive archive = m.b.build(dir.path());
  const size_t threads_before = thread_count();
  for (const uint64_t threads : {0, 1, 2, 3, 8, 32, 300}) {
    auto got = rebuild(archive, m.files.list, threads);
    ASSERT_TRUE(got) << threads << ": " << got.error().to_string();
    EXPECT_EQ(blake3::hash(*got), blake3::hash(m.expected)) << threads;
    EXPECT_EQ(got->size(), m.expected.size());
    EXPECT_EQ(thread_count_after_joins(threads_before), threads_before) << threads;
  }
}

TEST(Pipeline, NoRegularFilesStillRunsTheCallback) {
  fixture::ArchiveBuilder b;
  fixture::TempDir dir;
  const Archive archive = b.build(dir.path());
  fixture::Files files;
  files.other(format::Directory).regular({});
  for (const uint64_t threads : {1, 4, 40}) {
    int calls = 0;
    auto got = with_feed(archive, files.list, threads, [&](BlockFeed&) -> Result<int> { return ++calls; });
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, 1);
  }
}

// Block 1 is the first damaged block in plan order; block 2, damaged too, is small and decoded quickly, so
// its error is often the first any worker meets.
struct TwoDamaged {
  fixture::ArchiveBuilder b;
  fixture::Files files;
  TwoDamaged() {
    const uint32_t good = b.block(fixture::pattern(1000, 1), 1);
    Bytes big = fixture::xz_encode(fixture::text_like(6 << 20, 2));
    big[big.size() - 20] ^= 0xFF;  // the stream's check fails only at its end
    const uint32_t slow = b.stored_block(big, 6 << 20, 2);
    const uint32_t fast = b.stored_block(Bytes(10, 0), 11, 0);
    const uint32_t c0 = b.chunk(good, 0, 1000);
    const uint32_t c1 = b.chunk_with_digest(slow, 0, 10, {});
    const uint32_t c2 = b.chunk_with_digest(fast, 0, 10, {});
    files.regular({c0}).regular({c1}).regular({c2});
  }
};

TEST(Pipeline, FailsOnTheFirstDamagedBlockInPlanOrder) {
  TwoDamaged d;
  fixture::TempDir dir;
  const Archive archive = d.b.build(dir.path());
  // What block 1 fails with on its own; block 2 fails with "block decoded to the wrong size".
  std::vector<uint8_t> stored(archive.blocks[1].stored_len);
  ASSERT_TRUE(archive.read_at(archive.blocks[1].position, stored));
  const auto own = decode_block(archive.blocks[1], stored);
  ASSERT_FALSE(own);
  ASSERT_NE(own.error().to_string(), "block decoded to the wrong size");
  for (const uint64_t threads : {1, 2, 3, 8}) {
    for (int round = 0; round < 5; ++round) {
      auto got = rebuild(archive, d.files.list, threads);
      ASSERT_FALSE(got) << threads;
      EXPECT_EQ(got.error().to_string(), own.error().to_string()) << threads;
    }
  }
}

TEST(Pipeline, ErrorsOfBlocksDecodedAheadAreDroppedWhenTheRunEndsFirst) {
  TwoDamaged d;
  fixture::TempDir dir;
  const Archive archive = d.b.build(dir.path());
  for (const uint64_t threads : {1, 4}) {
    const Status s = with_feed(archive, d.files.list, threads, [&](BlockFeed& feed) -> Status {
      auto first = chunk(archive, feed, d.files.list[0]->chunks[0]);
      if (!first) return fail(first.error());
      return {};  // stops before the damaged blocks are needed
    });
    EXPECT_TRUE(s) << threads << ": " << s.error().to_string();
  }
}

TEST(Pipeline, StoredBlockPastTheFileEndFailsThatPositionOnly) {
  fixture::ArchiveBuilder b;
  const uint32_t first = b.block(fixture::pattern(100, 1));
  const uint32_t last = b.block(fixture::pattern(100, 2));
  fixture::Files files;
  files.regular({b.chunk(first, 0, 100)}).regular({b.chunk(last, 0, 100)});
  fixture::TempDir dir;
  const Archive archive = b.build(dir.path(), 7, /*cut=*/1);
  auto got = with_feed(archive, files.list, 2, [&](BlockFeed& feed) -> Status {
    if (auto c = chunk(archive, feed, files.list[0]->chunks[0]); !c) return fail(c.error());
    if (auto c = chunk(archive, feed, files.list[1]->chunks[0]); !c) return fail(c.error());
    return {};
  });
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().to_string(), "failed to fill whole buffer");
  EXPECT_EQ(got.error().kind(), ErrorKind::UnexpectedEof);
}

// Many blocks, so that the workers fill the window and wait for room while the callback leaves early.
struct ManyBlocks {
  fixture::ArchiveBuilder b;
  fixture::Files files;
  explicit ManyBlocks(int n) {
    std::vector<uint32_t> chunks;
    for (int i = 0; i < n; ++i) chunks.push_back(b.chunk(b.block(fixture::text_like(20000, i), uint8_t(1 + i % 2)), 0, 20000));
    files.regular(chunks);
  }
};

TEST(Pipeline, CallbackThatStopsEarlyLeavesNoWorkerBehind) {
  ManyBlocks m(60);
  fixture::TempDir dir;
  const Archive archive = m.b.build(dir.path());
  const size_t before = thread_count();
  for (const uint64_t threads : {1, 2, 7}) {
    for (const int reads : {0, 1, 5}) {
      const Status s = with_feed(archive, m.files.list, threads, [&](BlockFeed& feed) -> Status {
        for (int i = 0; i < reads; ++i)
          if (auto c = chunk(archive, feed, m.files.list[0]->chunks[i]); !c) return fail(c.error());
        return fail(Error::message(ErrorKind::Other, "callback gave up"));
      });
      ASSERT_FALSE(s);
      EXPECT_EQ(s.error().to_string(), "callback gave up");
      EXPECT_EQ(thread_count_after_joins(before), before) << threads << " " << reads;
    }
  }
}

TEST(Pipeline, CallbackThatThrowsLeavesNoWorkerBehind) {
  ManyBlocks m(40);
  fixture::TempDir dir;
  const Archive archive = m.b.build(dir.path());
  const size_t before = thread_count();
  for (const uint64_t threads : {1, 3}) {
    EXPECT_THROW(with_feed(archive, m.files.list, threads,
                           [&](BlockFeed& feed) -> Status {
                             (void)chunk(archive, feed, m.files.list[0]->chunks[0]);
                             throw std::runtime_error("callback crashed");
                           }),
                 std::runtime_error);
    EXPECT_EQ(thread_count_after_joins(before), before) << threads;
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

// A worker count far beyond what the system can start: the start fails after some threads; those are
// stopped and joined and the run ends with an error, without calling the callback. The address space is
// limited in a child process, so the limit is met after a few dozen 2 MiB stacks.
TEST(PipelineDeathTest, HugeWorkerCountEndsWithAnErrorWhenThreadsRunOut) {
  if (SANITIZED) GTEST_SKIP() << "sanitizers need the address space that this test takes away";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ManyBlocks m(4);
  fixture::TempDir dir;
  const Archive archive = m.b.build(dir.path());
  EXPECT_EXIT(
      {
        rlimit lim{};
        getrlimit(RLIMIT_AS, &lim);
        size_t vm = 0;
        {
          FILE* f = fopen("/proc/self/statm", "r");
          if (!f || fscanf(f, "%zu", &vm) != 1) _exit(10);
          fclose(f);
        }
        lim.rlim_cur = vm * size_t(sysconf(_SC_PAGESIZE)) + (128u << 20);
        if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(11);
        bool called = false;
        const Status s = with_feed(archive, m.files.list, UINT64_MAX, [&](BlockFeed&) -> Status {
          called = true;
          return {};
        });
        if (s || called) _exit(12);
        if (s.error().to_string().rfind("cannot start a block decoder thread: ", 0) != 0) _exit(13);
        _exit(thread_count() == 1 ? 0 : 14);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ixo::pack
