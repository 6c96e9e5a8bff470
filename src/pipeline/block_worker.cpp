#include "pipeline/block_worker.h"

#include <exception>
#include <memory>
#include <new>

#include "codec/codec.h"
#include "pipeline/block_decode.h"
#include "util/text.h"

namespace ixo::pack {
namespace {

// Whatever fails while a position is worked on becomes that position's result.
DecodeResult decode_position(const WorkerShared& shared, uint64_t position) noexcept {
  try {
    const format::BlockInfo& info = shared.archive.blocks[shared.decode_order[position]];
    BlockPool& pool = shared.pool;
    if (info.codec == codec::CODEC_STORE && info.stored_len == info.raw_len) {
      // The stored bytes are the block: read straight into a block buffer, no second copy.
      std::vector<uint8_t> block = pool.take(info.stored_len);
      block.resize(info.stored_len);  // only bytes beyond what the buffer held before are cleared
      if (Status read = shared.archive.read_at(info.position, block); !read) {
        pool.give(std::move(block));
        return fail(read.error());
      }
      return block;
    }
    // Read over at once, so never cleared; freed after the decode, as the stored bytes are needed no longer.
    const auto stored_bytes = std::make_unique_for_overwrite<uint8_t[]>(info.stored_len);
    const std::span<uint8_t> stored(stored_bytes.get(), info.stored_len);
    if (Status read = shared.archive.read_at(info.position, stored); !read) return fail(read.error());
    // Room for the whole block and the one byte that tells a longer one, so that it is decoded in one go.
    std::vector<uint8_t> out = pool.take(info.raw_len < UINT64_MAX ? info.raw_len + 1 : info.raw_len);
    if (Status decoded = decode_block_into(info, stored, out); !decoded) {
      pool.give(std::move(out));
      return fail(decoded.error());
    }
    return out;
  } catch (const std::bad_alloc&) {
    return fail(Error::bare(ErrorKind::OutOfMemory));
  } catch (const std::exception& e) {
    return fail(Error::message(ErrorKind::Other, cat("block decoder failed: ", e.what())));
  } catch (...) {
    return fail(Error::message(ErrorKind::Other, "block decoder failed"));
  }
}

// The stored bytes are gone by the time the chunks are hashed: a worker holds one buffer while it checks.
DecodeResult read_and_decode(const WorkerShared& shared, uint64_t position) noexcept {
  DecodeResult result = decode_position(shared, position);
  if (result && shared.checks != nullptr) shared.checks->check(position, *result);
  return result;
}

}  // namespace

void decode_worker(const WorkerShared& shared, BlockChannel::Sender sender) noexcept {
  try {
    for (;;) {
      if (!shared.window.admit()) return;
      // Admission comes first: the place in the window is held for the whole read and decode.
      const uint64_t position = shared.decode_ticket.fetch_add(1, std::memory_order_relaxed);
      if (position >= shared.decode_order.size()) return;
      if (!sender.send({position, read_and_decode(shared, position)})) return;
    }
  } catch (...) {
    // Nothing can be sent for the position in hand: close the channel so the consumer stops waiting.
    sender.break_channel();
  }
}

}  // namespace ixo::pack
