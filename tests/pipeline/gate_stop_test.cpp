// A fatal error while workers wait at the engine's memory gate: the pipeline still stops, and every worker
// leaves once the gate lets it through.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "fixture.h"
#include "memory_gate.h"
#include "pipeline/chunk.h"
#include "pipeline/pipeline.h"

namespace ixo::pack {
namespace {

using Bytes = std::vector<uint8_t>;

// The header of a modelled IXCM stream of n bytes at level 1, with no payload: decoding it first takes its
// model's memory at the gate, then fails its checksum.
Bytes modelled_header(uint64_t n) {
  Bytes h = {'I', 'X', 'C', 'M', 1, 1, 1, 0};
  for (int i = 0; i < 8; ++i) h.push_back(static_cast<uint8_t>(n >> (8 * i)));
  h.insert(h.end(), 4, 0);
  return h;
}

TEST(PipelineStop, WorkersWaitingAtTheMemoryGateLeaveAfterAFatalError) {
  fixture::TempDir dir;
  fixture::ArchiveBuilder b;
  const uint32_t bad = b.stored_block({1, 2, 3, 4}, 100, 1);  // not a zstd frame: the first read fails
  std::vector<uint32_t> chunks = {b.chunk_with_digest(bad, 0, 100, {})};
  for (int i = 0; i < 3; ++i) chunks.push_back(b.chunk_with_digest(b.stored_block(modelled_header(1000), 1000, 3), 0, 1000, {}));
  const Archive archive = b.build(dir.path());
  fixture::Files files;
  files.regular(chunks);

  // The test holds the whole budget, so every model waits at the gate until it lets go.
  cm::MemoryGate& gate = cm::MemoryGate::process();
  std::optional<cm::MemoryGate::Lease> hold(gate.acquire(gate.budget()));

  std::mutex mu;
  std::condition_variable cv;
  bool callback_returned = false;
  std::optional<Status> result;
  std::thread run([&] {
    Status r = with_feed(archive, files.list, 3, [&](BlockFeed& feed) -> Status {
      while (gate.waiting() < 2) std::this_thread::yield();  // two workers wait for their models
      auto bytes = chunk(archive, feed, chunks[0]);
      {
        std::lock_guard lock(mu);
        callback_returned = true;
      }
      cv.notify_all();
      if (!bytes) return fail(bytes.error());
      return {};
    });
    std::lock_guard lock(mu);
    result = std::move(r);
    cv.notify_all();
  });

  std::unique_lock lock(mu);
  cv.wait(lock, [&] { return callback_returned; });
  lock.unlock();
  // The frame now stops and joins its workers; the ones at the gate can only leave once it lets them in.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_GE(gate.waiting(), 2);
  hold.reset();
  lock.lock();
  const bool ended = cv.wait_for(lock, std::chrono::seconds(120), [&] { return result.has_value(); });
  lock.unlock();
  if (!ended) {
    ADD_FAILURE() << "the pipeline did not end after the gate let its workers in";
    std::abort();
  }
  run.join();
  ASSERT_FALSE(result->has_value());
  EXPECT_EQ(result->error().to_string(), "Unknown frame descriptor");
  EXPECT_EQ(gate.waiting(), 0);
  EXPECT_EQ(gate.in_use(), 0u);
}

}  // namespace
}  // namespace ixo::pack
