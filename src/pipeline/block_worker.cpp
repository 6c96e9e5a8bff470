#include "pipeline/block_worker.h"

#include <exception>
#include <new>

#include "codec/codec.h"
#include "pipeline/block_decode.h"
#include "util/text.h"

namespace ixo::pack {
namespace {

// Whatever fails while a position is worked on becomes that position's result.
DecodeResult read_and_decode(const WorkerShared& shared, uint64_t position) noexcept {
  try {
    const format::BlockInfo& info = shared.archive.blocks[shared.decode_order[position]];
    std::vector<uint8_t> stored(info.stored_len);
    if (Status read = shared.archive.read_at(info.position, stored); !read) return fail(read.error());
    if (info.codec == codec::CODEC_STORE && info.stored_len == info.raw_len) return stored;  // no second copy
    return decode_block(info, stored);
  } catch (const std::bad_alloc&) {
    return fail(Error::bare(ErrorKind::OutOfMemory));
  } catch (const std::exception& e) {
    return fail(Error::message(ErrorKind::Other, cat("block decoder failed: ", e.what())));
  } catch (...) {
    return fail(Error::message(ErrorKind::Other, "block decoder failed"));
  }
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
