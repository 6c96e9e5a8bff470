// The bounded channel that carries decoded blocks (or their errors) from the workers to the block feed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "error.h"

namespace ixo::pack {

using DecodeResult = Result<std::vector<uint8_t>>;

struct BlockMessage {
  uint64_t position = 0;  // index in decode_order
  DecodeResult result;
};

// Many senders, one receiver. The channel object outlives every end made from it.
class BlockChannel {
 public:
  explicit BlockChannel(uint64_t capacity) : capacity_(capacity) {}
  BlockChannel(const BlockChannel&) = delete;
  BlockChannel& operator=(const BlockChannel&) = delete;

  class Sender {
   public:
    Sender() = default;
    Sender(Sender&& other) noexcept : channel_(other.channel_) { other.channel_ = nullptr; }
    Sender& operator=(Sender&& other) noexcept;
    ~Sender() { reset(); }

    // Waits for room; false when the receiving end is gone (the message is dropped) or the channel is broken.
    bool send(BlockMessage message);
    // A sender that cannot deliver the result it owes closes the channel for the receiver at once, so that
    // the consumer does not wait for a position that will never come.
    void break_channel();
    // Drops this sending end.
    void reset();

   private:
    friend class BlockChannel;
    explicit Sender(BlockChannel* channel) : channel_(channel) {}
    BlockChannel* channel_ = nullptr;
  };

  class Receiver {
   public:
    Receiver() = default;
    Receiver(Receiver&& other) noexcept : channel_(other.channel_) { other.channel_ = nullptr; }
    Receiver& operator=(Receiver&& other) noexcept;
    ~Receiver() { reset(); }

    // The next message, waiting for one; nothing once the queue is empty and every sender is gone (or the
    // channel is broken).
    std::optional<BlockMessage> receive();
    // Drops the receiving end and every queued message; later sends fail.
    void reset();

   private:
    friend class BlockChannel;
    explicit Receiver(BlockChannel* channel) : channel_(channel) {}
    BlockChannel* channel_ = nullptr;
  };

  Sender sender();
  // The one receiving end.
  Receiver receiver();
  // True once a sender broke the channel.
  bool broken() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<BlockMessage> queue_;
  const uint64_t capacity_;
  uint64_t senders_ = 0;
  bool receiver_gone_ = false;
  bool broken_ = false;
};

}  // namespace ixo::pack
