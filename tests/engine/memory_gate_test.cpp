// The process-wide gate on model memory: waiting, order of admission, oversized decodes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "cm_encoder.h"
#include "decompress.h"
#include "memory_gate.h"
#include "model.h"
#include "sample_data.h"

namespace ixo::cm {
namespace {

void wait_for_waiters(const MemoryGate& gate, int n) {
  while (gate.waiting() < n) std::this_thread::yield();
}

TEST(MemoryGate, DecodeThatDoesNotFitWaits) {
  MemoryGate gate(100);
  std::optional<MemoryGate::Lease> first(gate.acquire(60));
  std::atomic<bool> admitted{false};
  std::thread t([&] {
    const MemoryGate::Lease second = gate.acquire(60);
    admitted = true;
  });
  wait_for_waiters(gate, 1);
  EXPECT_FALSE(admitted);
  EXPECT_EQ(gate.in_use(), 60u);
  first.reset();
  t.join();
  EXPECT_TRUE(admitted);
  EXPECT_EQ(gate.in_use(), 0u);
  EXPECT_EQ(gate.peak_holders(), 1);
}

TEST(MemoryGate, DecodesThatFitRunTogether) {
  MemoryGate gate(100);
  const MemoryGate::Lease a = gate.acquire(40);
  const MemoryGate::Lease b = gate.acquire(60);
  EXPECT_EQ(gate.in_use(), 100u);
  EXPECT_EQ(gate.peak_holders(), 2);
}

TEST(MemoryGate, LargerThanTheBudgetRunsAlone) {
  MemoryGate gate(100);
  std::optional<MemoryGate::Lease> huge(gate.acquire(500));  // nothing else runs: admitted
  std::atomic<bool> admitted{false};
  std::thread t([&] {
    const MemoryGate::Lease small = gate.acquire(1);
    admitted = true;
  });
  wait_for_waiters(gate, 1);
  EXPECT_FALSE(admitted);
  huge.reset();
  t.join();
  EXPECT_TRUE(admitted);
  // And it waits for the others to finish before it starts.
  std::optional<MemoryGate::Lease> small(gate.acquire(1));
  std::atomic<bool> huge_admitted{false};
  std::thread u([&] {
    const MemoryGate::Lease big = gate.acquire(500);
    huge_admitted = true;
  });
  wait_for_waiters(gate, 1);
  EXPECT_FALSE(huge_admitted);
  small.reset();
  u.join();
  EXPECT_TRUE(huge_admitted);
}

TEST(MemoryGate, WaitersAreServedInArrivalOrder) {
  MemoryGate gate(100);
  std::optional<MemoryGate::Lease> running(gate.acquire(90));
  std::vector<int> order;
  std::mutex order_mu;
  // The big request arrives first; the small one behind it would fit now but must not pass.
  // The two never fit together, so the order they record is the order they were admitted in.
  std::thread big([&] {
    const MemoryGate::Lease l = gate.acquire(96);
    std::lock_guard lock(order_mu);
    order.push_back(96);
  });
  wait_for_waiters(gate, 1);
  std::thread small([&] {
    const MemoryGate::Lease l = gate.acquire(5);
    std::lock_guard lock(order_mu);
    order.push_back(5);
  });
  wait_for_waiters(gate, 2);
  running.reset();
  big.join();
  small.join();
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[0], 96);
}

TEST(MemoryGate, ProcessBudgetIsHalfThePhysicalMemoryAtMost) {
  const uint64_t budget = MemoryGate::process().budget();
  EXPECT_EQ(budget, MemoryGate::default_budget());
  const uint64_t physical =
      static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  EXPECT_LE(budget, physical / 2);
  EXPECT_GT(budget, uint64_t{64} << 20);
}

TEST(MemoryGate, ConcurrentDecodesOverATightBudgetRunOneAtATime) {
  const std::vector<uint8_t> data = testing::sample_text(6000);
  const std::vector<uint8_t> s = testing::encode_stream(data, 2, 1);
  MemoryGate gate(Model::memory_bytes(1, data.size(), 2) + 1000);  // room for one model only
  std::vector<std::vector<uint8_t>> outs(4, std::vector<uint8_t>(data.size()));
  std::vector<ixo_cm_status> rcs(4, -99);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < outs.size(); ++i)
    threads.emplace_back([&, i] {
      size_t len = 0;
      rcs[i] = decompress(s.data(), s.size(), outs[i].data(), outs[i].size(), &len, gate);
    });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < outs.size(); ++i) {
    EXPECT_EQ(rcs[i], IXO_CM_OK);
    EXPECT_TRUE(outs[i] == data);
  }
  EXPECT_EQ(gate.peak_holders(), 1);
  EXPECT_EQ(gate.in_use(), 0u);
}

TEST(MemoryGate, StoredStreamsBypassTheGate) {
  const std::vector<uint8_t> data = {1, 2, 3};
  const std::vector<uint8_t> s = testing::encode_stream(data, 1, 9, testing::StreamMode::Stored);
  MemoryGate gate(0);
  const MemoryGate::Lease busy = gate.acquire(1);  // a modelled decode would wait for ever
  std::vector<uint8_t> out(3);
  size_t len = 0;
  EXPECT_EQ(decompress(s.data(), s.size(), out.data(), out.size(), &len, gate), IXO_CM_OK);
  EXPECT_EQ(out, data);
}

}  // namespace
}  // namespace ixo::cm
