#include "pipeline/pipeline.h"

#include <atomic>
#include <new>
#include <optional>
#include <vector>

#include "codec/codec.h"
#include "pipeline/block_channel.h"
#include "pipeline/block_pool.h"
#include "pipeline/block_worker.h"
#include "pipeline/digest_checks.h"
#include "pipeline/window.h"
#include "platform/thread.h"
#include "util/text.h"

namespace ixo::pack {
namespace {

constexpr size_t WORKER_STACK = 2 << 20;

// The started workers. Going away (on every path, an exception included) sets stop first, so that no worker
// waits at the window for ever, and then joins them all.
class Crew {
 public:
  explicit Crew(Window& window) : window_(window) {}
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;
  ~Crew() {
    window_.stop();
    threads_.clear();
  }

  // Makes room for one more thread before it is started, so that a started thread is never dropped (and
  // joined) before stop is set.
  bool make_room() noexcept {
    try {
      if (threads_.size() == threads_.capacity()) threads_.reserve(std::max<size_t>(16, threads_.size() * 2));
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  void add(platform::Thread t) noexcept { threads_.push_back(std::move(t)); }

 private:
  Window& window_;
  std::vector<platform::Thread> threads_;
};

Error start_error(const Error& cause) {
  return Error::message(cause.kind(), cat("cannot start a block decoder thread: ", cause.to_string()));
}

}  // namespace

namespace detail {

Status run_with_feed(const Archive& archive, Selection files, uint64_t threads,
                     const std::function<void(BlockFeed&)>& body) {
  const uint64_t workers = at_least_one_worker(threads);
  ReadPlan plan;
  std::optional<DigestChecks> checks;
  try {
    plan = plan_selection(archive.chunks, files, threads);
    // A lone worker is the bottleneck already; with more, the hashing of plain chunks spreads over them.
    if (workers >= 2) checks.emplace(archive, files, plan);
  } catch (const std::bad_alloc&) {
    return fail(Error::bare(ErrorKind::OutOfMemory));
  }
  const uint64_t limit = in_flight_limit(workers);
  Window window(limit);
  std::atomic<uint64_t> decode_ticket{0};
  BlockChannel channel(limit);
  // As many free buffers as blocks may be in flight, and none once every block has taken its own.
  BlockPool pool(limit, plan.decode_order.size());
  DigestChecks* const checked = checks ? &*checks : nullptr;
  const WorkerShared shared{window, decode_ticket, plan.decode_order, archive, pool, checked};

  BlockChannel::Receiver receiver = channel.receiver();
  {
    Crew crew(window);
    {
      // Held while the workers start, so the channel cannot look closed before the last one has its sender.
      BlockChannel::Sender own = channel.sender();
      for (uint64_t i = 0; i < workers; ++i) {
        if (!crew.make_room()) {
          receiver.reset();
          return fail(start_error(Error::bare(ErrorKind::OutOfMemory)));
        }
        auto t = platform::Thread::start(
            WORKER_STACK, [&shared, sender = channel.sender()]() mutable noexcept {
              decode_worker(shared, std::move(sender));
            });
        if (!t) {
          // Results still sent by the workers already started are dropped; the crew stops and joins them.
          receiver.reset();
          return fail(start_error(t.error()));
        }
        crew.add(std::move(*t));
      }
    }
    BlockFeed feed(plan.reads, plan.reads_by_block, plan.steps, window, std::move(receiver), &pool, checked);
    struct StopFirst {
      Window& window;
      ~StopFirst() { window.stop(); }
    } stop_first{window};
    body(feed);
    // stop_first sets stop, then the feed (with the receiving end, parked and held blocks) goes, then the
    // crew joins the workers.
  }
  if (channel.broken()) return fail(codec::invalid("block decoder stopped"));
  return {};
}

}  // namespace detail
}  // namespace ixo::pack
