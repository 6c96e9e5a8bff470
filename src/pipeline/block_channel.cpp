#include "pipeline/block_channel.h"

#include <new>

namespace ixo::pack {

BlockChannel::Sender BlockChannel::sender() {
  std::lock_guard lock(mutex_);
  ++senders_;
  return Sender(this);
}

BlockChannel::Receiver BlockChannel::receiver() { return Receiver(this); }

bool BlockChannel::broken() const {
  std::lock_guard lock(mutex_);
  return broken_;
}

BlockChannel::Sender& BlockChannel::Sender::operator=(Sender&& other) noexcept {
  if (this != &other) {
    reset();
    channel_ = other.channel_;
    other.channel_ = nullptr;
  }
  return *this;
}

void BlockChannel::Sender::reset() {
  if (channel_ == nullptr) return;
  {
    std::lock_guard lock(channel_->mutex_);
    --channel_->senders_;
  }
  channel_->changed_.notify_all();
  channel_ = nullptr;
}

bool BlockChannel::Sender::send(BlockMessage message) {
  if (channel_ == nullptr) return false;
  BlockChannel& c = *channel_;
  bool delivered = true;
  {
    std::unique_lock lock(c.mutex_);
    c.changed_.wait(lock, [&] { return c.receiver_gone_ || c.broken_ || c.queue_.size() < c.capacity_; });
    if (c.receiver_gone_ || c.broken_) return false;
    try {
      c.queue_.push_back(std::move(message));
    } catch (const std::bad_alloc&) {
      // The result is lost: the receiver must not wait for it.
      c.broken_ = true;
      delivered = false;
    }
  }
  c.changed_.notify_all();
  return delivered;
}

void BlockChannel::Sender::break_channel() {
  if (channel_ == nullptr) return;
  {
    std::lock_guard lock(channel_->mutex_);
    channel_->broken_ = true;
  }
  channel_->changed_.notify_all();
}

BlockChannel::Receiver& BlockChannel::Receiver::operator=(Receiver&& other) noexcept {
  if (this != &other) {
    reset();
    channel_ = other.channel_;
    other.channel_ = nullptr;
  }
  return *this;
}

std::optional<BlockMessage> BlockChannel::Receiver::receive() {
  if (channel_ == nullptr) return std::nullopt;
  BlockChannel& c = *channel_;
  std::optional<BlockMessage> message;
  {
    std::unique_lock lock(c.mutex_);
    c.changed_.wait(lock, [&] { return !c.queue_.empty() || c.senders_ == 0 || c.broken_; });
    if (c.queue_.empty()) return std::nullopt;
    message.emplace(std::move(c.queue_.front()));
    c.queue_.pop_front();
  }
  c.changed_.notify_all();
  return message;
}

void BlockChannel::Receiver::reset() {
  if (channel_ == nullptr) return;
  std::deque<BlockMessage> dropped;
  {
    std::lock_guard lock(channel_->mutex_);
    channel_->receiver_gone_ = true;
    dropped.swap(channel_->queue_);
  }
  channel_->changed_.notify_all();
  channel_ = nullptr;
  // dropped frees the queued blocks here, outside the lock.
}

}  // namespace ixo::pack
