#include <gtest/gtest.h>

#include <optional>

#include "codec/codec.h"
#include "fixture.h"
#include "pipeline/block_feed.h"

namespace ixo::pack {
namespace {

using Bytes = std::vector<uint8_t>;

// A feed over a plan, fed by hand instead of by workers.
struct Rig {
  ReadPlan plan;
  Window window{8};
  BlockChannel channel{64};
  BlockChannel::Sender sender = channel.sender();
  std::optional<BlockFeed> feed;

  Rig(std::vector<ChunkRead> reads, uint64_t budget) : plan(plan_reads(std::move(reads), budget)) { make_feed(); }
  explicit Rig(ReadPlan p) : plan(std::move(p)) { make_feed(); }
  void make_feed() { feed.emplace(plan.reads, plan.reads_by_block, plan.steps, window, channel.receiver()); }

  void send(uint64_t position, Bytes data) { ASSERT_TRUE(sender.send({position, std::move(data)})); }
  void send_error(uint64_t position, std::string_view text) {
    ASSERT_TRUE(sender.send({position, fail(codec::invalid(text))}));
  }
  Result<Bytes> get(const ChunkRead& r) {
    auto view = feed->get(r.block, r.offset, r.length);
    if (!view) return fail(view.error());
    return Bytes(view->begin(), view->end());
  }
  Result<Bytes> get(size_t read) { return get(plan.reads[read]); }
};

Bytes slice(const Bytes& b, size_t offset, size_t length) {
  return Bytes(b.begin() + offset, b.begin() + offset + length);
}

std::string message(const auto& result) { return result ? "(success)" : result.error().to_string(); }

TEST(BlockFeed, CompactsToExactlyTheRangesStillToBeRead) {
  const Bytes seven = fixture::pattern(500, 7), nine = fixture::pattern(20, 9);
  Rig rig({{7, 0, 100}, {7, 100, 50}, {9, 0, 20}, {7, 100, 50}, {7, 400, 10}}, 1 << 20);
  ASSERT_EQ(rig.plan.decode_order, (std::vector<uint64_t>{7, 9}));
  rig.send(0, seven);
  rig.send(1, nine);

  EXPECT_EQ(rig.get(0).value(), slice(seven, 0, 100));
  EXPECT_EQ(rig.get(1).value(), slice(seven, 100, 50));
  EXPECT_FALSE(rig.feed->held(7)->ranges.has_value());  // whole while its step lasts

  EXPECT_EQ(rig.get(2).value(), nine);
  const Held* copy = rig.feed->held(7);
  ASSERT_NE(copy, nullptr);
  ASSERT_TRUE(copy->ranges.has_value());
  EXPECT_EQ(*copy->ranges, (std::map<Held::Key, uint64_t>{{{100, 50}, 0}, {{400, 10}, 50}}));
  Bytes want = slice(seven, 100, 50);
  for (uint8_t b : slice(seven, 400, 10)) want.push_back(b);
  EXPECT_EQ(copy->data, want);

  EXPECT_EQ(rig.get(3).value(), slice(seven, 100, 50));
  EXPECT_EQ(rig.feed->held(9), nullptr);  // no later read: freed at the step change
  EXPECT_EQ(rig.get(4).value(), slice(seven, 400, 10));
  EXPECT_EQ(rig.feed->copied_bytes(), 60u);
}

TEST(BlockFeed, OverlappingLaterRangesAreCopiedInFullAndRepeatsOnce) {
  const Bytes a = fixture::pattern(300, 1);
  Rig rig({{0, 0, 1}, {1, 0, 1}, {0, 0, 100}, {0, 50, 100}, {0, 0, 100}}, 1 << 20);
  rig.send(0, a);
  rig.send(1, Bytes{42});
  ASSERT_TRUE(rig.get(0));
  ASSERT_TRUE(rig.get(1));
  EXPECT_EQ(rig.feed->held(0)->data.size(), 200u);
  EXPECT_EQ(rig.get(2).value(), slice(a, 0, 100));
  EXPECT_EQ(rig.get(3).value(), slice(a, 50, 100));
  EXPECT_EQ(rig.get(4).value(), slice(a, 0, 100));
}

TEST(BlockFeed, ConsumesInDecodeOrderWhateverTheArrivalOrder) {
  Rig rig({{0, 0, 1}, {1, 0, 1}, {2, 0, 1}}, 1 << 20);
  rig.send(2, Bytes{12});
  rig.send(0, Bytes{10});
  rig.send(1, Bytes{11});
  EXPECT_EQ(rig.get(0).value(), Bytes{10});
  EXPECT_EQ(rig.feed->pending_count(), 1u);  // 2 arrived first and waits for its turn
  EXPECT_EQ(rig.get(1).value(), Bytes{11});
  EXPECT_EQ(rig.get(2).value(), Bytes{12});
  EXPECT_EQ(rig.feed->next_position(), 3u);
}

TEST(BlockFeed, EarlyResultWaitsInPending) {
  Rig rig({{0, 0, 1}, {1, 0, 1}, {2, 0, 1}}, 1 << 20);
  rig.send(2, Bytes{12});
  rig.send(0, Bytes{10});
  EXPECT_EQ(rig.get(0).value(), Bytes{10});
  EXPECT_EQ(rig.feed->pending_count(), 1u);  // position 2 parked
  rig.send(1, Bytes{11});
  EXPECT_EQ(rig.get(1).value(), Bytes{11});
  EXPECT_EQ(rig.get(2).value(), Bytes{12});
  EXPECT_EQ(rig.feed->pending_count(), 0u);
}

TEST(BlockFeed, ErrorOfABlockAheadIsReportedOnlyInItsTurn) {
  Rig rig({{0, 0, 1}, {1, 0, 1}, {2, 0, 1}, {3, 0, 1}}, 1 << 20);
  rig.send(0, Bytes{10});
  rig.send_error(3, "damaged block three");
  rig.send(1, Bytes{11});
  EXPECT_TRUE(rig.get(0));
  EXPECT_TRUE(rig.get(1));
  rig.send(2, Bytes{12});
  EXPECT_TRUE(rig.get(2));
  const auto third = rig.get(3);
  EXPECT_EQ(message(third), "damaged block three");
  EXPECT_EQ(rig.feed->next_position(), 4u);
  EXPECT_EQ(rig.feed->next_read(), 3u);
}

TEST(BlockFeed, ErrorAheadIsDroppedWhenTheRunEndsFirst) {
  Rig rig({{0, 0, 1}, {1, 0, 1}}, 1 << 20);
  rig.send_error(1, "never seen");
  rig.send(0, Bytes{10});
  EXPECT_EQ(rig.get(0).value(), Bytes{10});
  EXPECT_EQ(rig.feed->pending_count(), 1u);
  rig.feed.reset();  // the run ends; nothing reports the parked error
}

TEST(BlockFeed, FreesOneWindowSlotPerResultAndZeroStaysZero) {
  Rig rig({{0, 0, 1}, {1, 0, 1}}, 1 << 20);
  ASSERT_TRUE(rig.window.admit());
  rig.send(0, Bytes{1});
  rig.send(1, Bytes{2});
  EXPECT_EQ(rig.window.in_flight(), 1u);
  ASSERT_TRUE(rig.get(0));
  EXPECT_EQ(rig.window.in_flight(), 0u);
  ASSERT_TRUE(rig.get(1));
  EXPECT_EQ(rig.window.in_flight(), 0u);
}

TEST(BlockFeed, ServesReadsUpToTheBlockEndOnly) {
  Rig rig({{0, 0, 10}, {0, 10, 0}, {0, 5, 5}, {0, 6, 5}}, 1 << 20);
  rig.send(0, fixture::pattern(10, 1));
  EXPECT_EQ(rig.get(0).value().size(), 10u);
  EXPECT_EQ(rig.get(1).value().size(), 0u);
  EXPECT_EQ(rig.get(2).value().size(), 5u);
  EXPECT_EQ(message(rig.get(3)), "chunk lies outside its block");
}

TEST(BlockFeed, OutOfRangeLaterReadIsNotCopiedAndFailsWhenRead) {
  Rig rig({{0, 0, 4}, {1, 0, 1}, {0, 8, 4}, {0, 0, 4}}, 1 << 20);
  rig.send(0, fixture::pattern(10, 1));
  rig.send(1, Bytes{1});
  ASSERT_TRUE(rig.get(0));
  ASSERT_TRUE(rig.get(1));
  EXPECT_EQ(rig.feed->held(0)->data.size(), 4u);  // (8, 4) passes the end: not copied
  EXPECT_EQ(message(rig.get(2)), "chunk lies outside its block");
}

TEST(BlockFeed, OutOfOrderRequestFailsAndChangesNothing) {
  Rig rig({{0, 0, 4}, {0, 4, 4}}, 1 << 20);
  rig.send(0, fixture::pattern(8, 1));
  const ChunkRead wrong[] = {{0, 0, 5}, {0, 4, 4}, {1, 0, 4}};
  for (const ChunkRead& r : wrong) {
    EXPECT_EQ(message(rig.get(r)), "internal error: chunk read order mismatch");
    EXPECT_EQ(rig.feed->next_read(), 0u);
    EXPECT_EQ(rig.feed->next_position(), 0u);  // nothing taken from the channel
  }
  ASSERT_TRUE(rig.get(0));
  ASSERT_TRUE(rig.get(1));
  EXPECT_EQ(message(rig.get(ChunkRead{0, 4, 4})), "internal error: chunk read order mismatch");
  EXPECT_EQ(rig.feed->next_read(), 2u);
}

TEST(BlockFeed, ClosedChannelIsBlockDecoderStopped) {
  Rig rig({{0, 0, 1}}, 1 << 20);
  rig.sender.reset();
  EXPECT_EQ(message(rig.get(0)), "block decoder stopped");
  EXPECT_EQ(rig.feed->next_read(), 0u);
  EXPECT_EQ(rig.feed->next_position(), 0u);
}

TEST(BlockFeed, BlockThePlanDoesNotHoldIsAnInternalError) {
  ReadPlan plan;
  plan.reads = {{3, 0, 1}};
  plan.steps = {{{}, 3, 0, false}};
  plan.reads_by_block[3] = {0};
  Rig rig(std::move(plan));
  EXPECT_EQ(message(rig.get(0)), "internal error: planned block is not held");
  EXPECT_EQ(rig.feed->next_read(), 1u);
}

// One large block of zeros read through many overlapping chunks, alternately with another block: its later
// ranges far exceed the budget, so the plan releases it at each next step. The feed must drop it there
// without copying those ranges first.
TEST(BlockFeed, BlockReleasedAtTheNextStepIsDroppedWithoutCompaction) {
  const uint32_t size = 4096;
  std::vector<ChunkRead> reads;
  for (uint32_t i = 0; i < 40; ++i) {
    reads.push_back({0, i, size - i});
    reads.push_back({1, 0, 8});
  }
  const uint64_t budget = 1000;
  Rig rig(std::move(reads), budget);
  ASSERT_EQ(rig.plan.steps[1].release, (std::vector<uint64_t>{0}));
  const Bytes zeros(size, 0), other = fixture::pattern(8, 2);
  uint64_t position = 0;
  for (const PlanStep& s : rig.plan.steps)
    if (s.decode) rig.send(position++, s.block == 0 ? zeros : other);

  uint64_t peak = 0;
  for (size_t i = 0; i < rig.plan.reads.size(); ++i) {
    const auto got = rig.get(i);
    ASSERT_TRUE(got) << i << ": " << got.error().to_string();
    const ChunkRead& r = rig.plan.reads[i];
    EXPECT_EQ(*got, slice(r.block == 0 ? zeros : other, r.offset, r.length)) << i;
    peak = std::max(peak, rig.feed->held_bytes());
  }
  EXPECT_EQ(rig.feed->copied_bytes(), 8u * 39);  // only block 1's 8 bytes, kept between its uses
  EXPECT_LE(peak, size + budget);
}

}  // namespace
}  // namespace ixo::pack
