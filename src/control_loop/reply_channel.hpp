// A one-shot answer from the worker to a waiting requester. Dropping the sending end
// unanswered wakes the requester at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vorlix::control_loop {

enum class ReplyFailure { Closed, TimedOut };

template <class T>
struct ReplySlot {
  std::mutex mutex;
  std::condition_variable answered;
  std::optional<T> value;
  bool sender_gone = false;
  bool receiver_gone = false;
};

// The worker's end.
template <class T>
class ReplySender {
 public:
  explicit ReplySender(std::shared_ptr<ReplySlot<T>> slot) : slot_(std::move(slot)) {}
  ReplySender(ReplySender&&) noexcept = default;
  ReplySender& operator=(ReplySender&&) = delete;
  ReplySender(const ReplySender&) = delete;
  ReplySender& operator=(const ReplySender&) = delete;
  ~ReplySender() { finish(std::nullopt); }

  // False when nobody waits for the answer any more.
  bool send(T value) && { return finish(std::move(value)); }

 private:
  bool finish(std::optional<T> value) {
    if (!slot_) return false;
    const std::shared_ptr<ReplySlot<T>> slot = std::move(slot_);
    bool delivered = false;
    {
      std::lock_guard lock(slot->mutex);
      delivered = value.has_value() && !slot->receiver_gone;
      if (delivered) slot->value = std::move(value);
      slot->sender_gone = true;
    }
    slot->answered.notify_all();
    return delivered;
  }

  std::shared_ptr<ReplySlot<T>> slot_;
};

template <class T>
class ReplyReceiver {
 public:
  explicit ReplyReceiver(std::shared_ptr<ReplySlot<T>> slot) : slot_(std::move(slot)) {}
  ReplyReceiver(ReplyReceiver&&) noexcept = default;
  ReplyReceiver& operator=(ReplyReceiver&&) = delete;
  ReplyReceiver(const ReplyReceiver&) = delete;
  ReplyReceiver& operator=(const ReplyReceiver&) = delete;
  ~ReplyReceiver() {
    if (!slot_) return;
    std::lock_guard lock(slot_->mutex);
    slot_->receiver_gone = true;
  }

  // Waits without a time limit.
  std::expected<T, ReplyFailure> receive() {
    std::unique_lock lock(slot_->mutex);
    slot_->answered.wait(lock, [this] { return slot_->sender_gone; });
    return take();
  }

  template <class Clock, class Duration>
  std::expected<T, ReplyFailure> receive_until(std::chrono::time_point<Clock, Duration> deadline) {
    std::unique_lock lock(slot_->mutex);
    if (!slot_->answered.wait_until(lock, deadline, [this] { return slot_->sender_gone; })) {
      return std::unexpected(ReplyFailure::TimedOut);
    }
    return take();
  }

 private:
  // Slot locked; the sender is gone.
  std::expected<T, ReplyFailure> take() {
    if (!slot_->value) return std::unexpected(ReplyFailure::Closed);
    return std::move(*std::exchange(slot_->value, std::nullopt));
  }

  std::shared_ptr<ReplySlot<T>> slot_;
};

template <class T>
std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel() {
  auto slot = std::make_shared<ReplySlot<T>>();
  return {ReplySender<T>(slot), ReplyReceiver<T>(slot)};
}

}  // namespace vorlix::control_loop
