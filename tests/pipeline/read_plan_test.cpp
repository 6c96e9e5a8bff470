#include <gtest/gtest.h>

#include "fixture.h"
#include "pipeline/read_plan.h"

namespace ixo::pack {
namespace {

constexpr uint32_t MiB = 1 << 20;

std::vector<uint64_t> decoding_steps(const ReadPlan& plan) {
  std::vector<uint64_t> out;
  for (size_t s = 0; s < plan.steps.size(); ++s)
    if (plan.steps[s].decode) out.push_back(s);
  return out;
}

TEST(HeldBudget, GrowsWithThreadsFromFourAndSaturates) {
  EXPECT_EQ(held_budget(0), 128ull * MiB);
  EXPECT_EQ(held_budget(1), 128ull * MiB);
  EXPECT_EQ(held_budget(4), 128ull * MiB);
  EXPECT_EQ(held_budget(8), 256ull * MiB);
  EXPECT_EQ(held_budget(UINT64_MAX >> 25), (UINT64_MAX >> 25) << 25);
  EXPECT_EQ(held_budget((UINT64_MAX >> 25) + 1), UINT64_MAX);
  EXPECT_EQ(held_budget(UINT64_MAX), UINT64_MAX);
}

// Blocks A, B, C = 0, 1, 2; one worker, so 128 MiB.
TEST(ReadPlan, WorkedExample) {
  const uint64_t A = 0, B = 1, C = 2;
  std::vector<ChunkRead> reads = {{A, 0, 60 * MiB}, {B, 0, 50 * MiB},       {C, 0, 40 * MiB},
                                  {A, 0, 60 * MiB}, {B, 50 * MiB, 30 * MiB}, {C, 0, 40 * MiB}};
  EXPECT_EQ(need_after(reads),
            (std::vector<uint64_t>{60ull * MiB, 30ull * MiB, 40ull * MiB, 0, 0, 0}));

  const ReadPlan plan = plan_reads(reads, held_budget(1));
  const std::vector<PlanStep> want = {
      {{}, A, 0, true}, {{}, B, 1, true}, {{}, C, 2, true}, {{C}, A, 3, false}, {{A}, B, 4, false}, {{B}, C, 5, true},
  };
  EXPECT_EQ(plan.steps, want);
  EXPECT_EQ(plan.decode_order, (std::vector<uint64_t>{A, B, C, C}));
  EXPECT_EQ(decoding_steps(plan), (std::vector<uint64_t>{0, 1, 2, 5}));
  EXPECT_EQ(plan.reads_by_block.at(A), (std::vector<uint64_t>{0, 3}));
  EXPECT_EQ(plan.reads_by_block.at(B), (std::vector<uint64_t>{1, 4}));
  EXPECT_EQ(plan.reads_by_block.at(C), (std::vector<uint64_t>{2, 5}));
  EXPECT_EQ(plan.reads, reads);
}

// Two blocks held between their uses; x and y MiB still needed; the budget is 128 MiB.
TEST(ReadPlan, EvictsOnlyAboveTheBudget) {
  struct Case {
    uint64_t held_total;  // bytes of A's and B's later ranges together
    bool evicts;
  } cases[] = {{128ull * MiB, false}, {128ull * MiB + 1, true}};
  for (const Case& c : cases) {
    const uint32_t a = 100 * MiB;
    const uint32_t b = uint32_t(c.held_total - a);
    // A, B, then C (not held), then B and A again: at C's step both A and B are held.
    std::vector<ChunkRead> reads = {{0, 0, a}, {1, 0, b}, {2, 0, 10}, {1, 0, b}, {0, 0, a}};
    const ReadPlan plan = plan_reads(reads, held_budget(1));
    ASSERT_EQ(plan.steps.size(), 5u);
    if (c.evicts) {
      // A's next use is the furthest: it goes at C's step and is decoded again.
      EXPECT_EQ(plan.steps[2].release, (std::vector<uint64_t>{0})) << c.held_total;
      EXPECT_EQ(plan.decode_order, (std::vector<uint64_t>{0, 1, 2, 0})) << c.held_total;
    } else {
      EXPECT_TRUE(plan.steps[2].release.empty()) << c.held_total;
      EXPECT_EQ(plan.decode_order, (std::vector<uint64_t>{0, 1, 2})) << c.held_total;
    }
    EXPECT_FALSE(plan.steps[3].decode);
  }
}

TEST(ReadPlan, DeltaBaseIsReadJustBeforeItsChunk) {
  fixture::ArchiveBuilder b;
  const uint32_t blk0 = b.block(fixture::pattern(100, 1));
  const uint32_t blk1 = b.block(fixture::pattern(100, 2));
  const uint32_t same_base = b.chunk(blk0, 0, 10);
  const uint32_t other_base = b.chunk(blk1, 50, 10);
  const uint32_t in_same = b.chunk(blk0, 20, 10, 4, same_base, fixture::pattern(10, 3));
  const uint32_t in_other = b.chunk(blk0, 40, 10, 4, other_base, fixture::pattern(10, 4));
  fixture::TempDir dir;
  const Archive archive = b.build(dir.path());

  fixture::Files files;
  files.regular({in_same});
  const ReadPlan same = plan_selection(archive.chunks, files.list, 1);
  EXPECT_EQ(same.reads, (std::vector<ChunkRead>{{0, 0, 10}, {0, 20, 10}}));
  ASSERT_EQ(same.steps.size(), 1u);  // one step, one decode

  fixture::Files other;
  other.regular({in_other});
  const ReadPlan two = plan_selection(archive.chunks, other.list, 1);
  EXPECT_EQ(two.reads, (std::vector<ChunkRead>{{1, 50, 10}, {0, 40, 10}}));
  ASSERT_EQ(two.steps.size(), 2u);
  EXPECT_EQ(two.steps[0].block, 1u);  // the base's step first
  EXPECT_EQ(two.steps[1].block, 0u);
}

TEST(ReadPlan, OnlyRegularFilesWithChunksMakeReads) {
  fixture::ArchiveBuilder b;
  const uint32_t blk = b.block(fixture::pattern(64, 1));
  const uint32_t c0 = b.chunk(blk, 0, 32);
  const uint32_t c1 = b.chunk(blk, 32, 32);
  fixture::TempDir dir;
  const Archive archive = b.build(dir.path());

  fixture::Files none;
  none.other(format::Directory).regular({}).other(format::Symlink).regular({});
  const ReadPlan empty = plan_selection(archive.chunks, none.list, 1);
  EXPECT_TRUE(empty.reads.empty());
  EXPECT_TRUE(empty.steps.empty());
  EXPECT_TRUE(empty.decode_order.empty());

  // The last read of one file and the first of the next share a block: one step, one decode. A chunk read
  // twice is read twice.
  fixture::Files two;
  two.regular({c0, c1}).other(format::Directory).regular({c1, c1});
  const ReadPlan plan = plan_selection(archive.chunks, two.list, 1);
  EXPECT_EQ(plan.reads.size(), 4u);
  ASSERT_EQ(plan.steps.size(), 1u);
  EXPECT_EQ(plan.decode_order, (std::vector<uint64_t>{0}));
}

TEST(ReadPlan, BlockWhoseLaterRangesAloneExceedTheBudgetIsDecodedAtEachUse) {
  // Block 0's later ranges overlap but count fully, and each one alone is above 128 MiB.
  const uint32_t big = 130 * MiB;
  const std::vector<ChunkRead> reads = {{0, 0, 10},  {1, 0, 10}, {0, 0, big}, {1, 0, 10},
                                        {0, 1, big}, {1, 0, 10}, {0, 2, big}};
  EXPECT_EQ(need_after(reads)[0], 3ull * big);
  const ReadPlan plan = plan_reads(reads, held_budget(1));
  ASSERT_EQ(plan.steps.size(), 7u);
  for (const size_t s : {1, 3, 5})
    EXPECT_EQ(plan.steps[s].release, (std::vector<uint64_t>{0})) << s;  // evicted at the very next step
  for (const size_t s : {0, 1, 2, 4, 6}) EXPECT_TRUE(plan.steps[s].decode) << s;
  for (const size_t s : {3, 5}) EXPECT_FALSE(plan.steps[s].decode) << s;  // block 1 stays held: 10 bytes
  EXPECT_EQ(plan.decode_order, (std::vector<uint64_t>{0, 1, 0, 0, 0}));
}

TEST(ReadPlan, RepeatedPairsCountOnceAndLastUseReleases) {
  const std::vector<ChunkRead> reads = {{5, 0, 100}, {6, 0, 1}, {5, 0, 100}, {5, 0, 100}, {6, 0, 1}};
  EXPECT_EQ(need_after(reads), (std::vector<uint64_t>{100, 1, 100, 0, 0}));
  // Steps: 5, 6, 5 (reads 2 and 3), 6. At step 2 blocks 5 (100 bytes) and 6 (1 byte) are held.
  {
    const ReadPlan plan = plan_reads(reads, 101);
    ASSERT_EQ(plan.steps.size(), 4u);
    EXPECT_EQ(plan.decode_order, (std::vector<uint64_t>{5, 6}));
    EXPECT_TRUE(plan.steps[2].release.empty());
    EXPECT_EQ(plan.steps[3].release, (std::vector<uint64_t>{5}));  // its last use has passed
  }
  {
    // One byte less: block 6, needed further ahead, goes; block 5 stays.
    const ReadPlan plan = plan_reads(reads, 100);
    EXPECT_EQ(plan.decode_order, (std::vector<uint64_t>{5, 6, 6}));
    EXPECT_EQ(plan.steps[2].release, (std::vector<uint64_t>{6}));
    EXPECT_FALSE(plan.steps[2].decode);
  }
}

}  // namespace
}  // namespace ixo::pack
