// The body of one block-decoding worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "archive/archive.h"
#include "pipeline/block_channel.h"
#include "pipeline/block_pool.h"
#include "pipeline/digest_checks.h"
#include "pipeline/window.h"

namespace ixo::pack {

// What every worker shares; all of it outlives the workers.
struct WorkerShared {
  Window& window;
  std::atomic<uint64_t>& decode_ticket;  // the next position of decode_order to hand out
  std::span<const uint64_t> decode_order;
  const Archive& archive;
  BlockPool& pool;  // where stored and decoded buffers come from and go back to
  DigestChecks* checks = nullptr;  // where the digests of the plain chunks of each block are checked; none: not here
};

// Admission, a position from the ticket, read under the file lock, decode, send; until stop is set, the
// positions run out or the receiver is gone. Every position taken gets a result sent for it, whatever fails
// on the way; a result that cannot be sent breaks the channel instead. Drops its sender when it leaves.
void decode_worker(const WorkerShared& shared, BlockChannel::Sender sender) noexcept;

}  // namespace ixo::pack
