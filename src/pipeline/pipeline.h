// The frame of every extraction and test run: plan, workers, the callback with its block feed, then stop and
// join the workers on every path.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <type_traits>

#include "error.h"
#include "archive/archive.h"
#include "pipeline/block_feed.h"
#include "pipeline/read_plan.h"

namespace ixo::pack {

// max(threads, 1): no upper bound.
inline uint64_t at_least_one_worker(uint64_t threads) { return threads == 0 ? 1 : threads; }
// The window limit and channel capacity: workers + 2, saturating.
inline uint64_t in_flight_limit(uint64_t workers) { return workers > UINT64_MAX - 2 ? UINT64_MAX : workers + 2; }

namespace detail {
// Plans the reads of files, starts at_least_one_worker(threads) workers, runs body once with the feed, then sets
// stop, drops the feed and joins every worker, also when body throws (the exception then propagates).
// Fails, without running body, when a worker cannot be started (those already started are stopped and
// joined first); fails after the join when a worker could not deliver a result it owed.
Status run_with_feed(const Archive& archive, Selection files, uint64_t threads,
                     const std::function<void(BlockFeed&)>& body);
}  // namespace detail

// Runs callback(feed) on the calling thread and returns exactly its result (a Result<T> or Status), after
// every worker has been stopped and joined. The callback requests chunk bytes (through pack::chunk) in
// exactly the planned order: the regular files of files in order, each file's chunks in order, a delta
// chunk's base just before it; it may stop early, never skip a read.
template <class F>
auto with_feed(const Archive& archive, Selection files, uint64_t threads, F&& callback)
    -> std::invoke_result_t<F&, BlockFeed&> {
  using R = std::invoke_result_t<F&, BlockFeed&>;
  // Converts to the callback's result in place, so the result is built straight into out (no temporary).
  struct Call {
    F& f;
    BlockFeed& feed;
    operator R() const { return f(feed); }
  };
  std::optional<R> out;
  const Status frame =
      detail::run_with_feed(archive, files, threads, [&](BlockFeed& feed) { out.emplace(Call{callback, feed}); });
  if (out && !out->has_value()) return std::move(*out);  // the callback's own error comes first
  if (!frame) return fail(frame.error());
  return std::move(*out);
}

}  // namespace ixo::pack
