// A bounded first-in-first-out queue between any number of posting threads and one consumer.
// Posting waits for room; once the consumer's end is gone, posting fails at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vorlix::control_loop {

namespace detail {
template <class T>
struct QueueState {
  explicit QueueState(std::size_t limit) : capacity(limit) {}
  std::mutex mutex;
  std::condition_variable not_full;
  std::condition_variable not_empty;
  std::deque<T> items;
  const std::size_t capacity;
  bool receiver_alive = true;
  bool wake_requested = false;
};
}  // namespace detail

enum class SendOutcome { Sent, Full, Closed };
enum class WaitOutcome { Queued, DeadlinePassed, Woken };

template <class T>
class QueueSender {
 public:
  explicit QueueSender(std::shared_ptr<detail::QueueState<T>> state) : state_(std::move(state)) {}

  // Never waits: moves from `item` only when it was queued.
  SendOutcome try_send(T& item) const {
    std::unique_lock lock(state_->mutex);
    if (!state_->receiver_alive) return SendOutcome::Closed;
    if (state_->items.size() >= state_->capacity) return SendOutcome::Full;
    state_->items.push_back(std::move(item));
    lock.unlock();
    state_->not_empty.notify_one();
    return SendOutcome::Sent;
  }

  // Ends the consumer's current wait early, once, even with nothing queued: a stop need not
  // wait for the next deadline.
  void wake_consumer() const {
    {
      std::lock_guard lock(state_->mutex);
      state_->wake_requested = true;
    }
    state_->not_empty.notify_all();
  }

  // Waits while the queue is full. False, dropping `item`, when the consumer is gone.
  bool send(T item) const {
    std::unique_lock lock(state_->mutex);
    state_->not_full.wait(lock, [this] {
      return !state_->receiver_alive || state_->items.size() < state_->capacity;
    });
    if (!state_->receiver_alive) {
      lock.unlock();  // the item may hold a reply channel with a lock of its own
      return false;
    }
    state_->items.push_back(std::move(item));
    state_->not_empty.notify_one();
    return true;
  }

 private:
  std::shared_ptr<detail::QueueState<T>> state_;
};

template <class T>
class QueueReceiver {
 public:
  explicit QueueReceiver(std::shared_ptr<detail::QueueState<T>> state)
      : state_(std::move(state)) {}
  QueueReceiver(QueueReceiver&&) noexcept = default;
  QueueReceiver& operator=(QueueReceiver&&) = delete;
  QueueReceiver(const QueueReceiver&) = delete;
  QueueReceiver& operator=(const QueueReceiver&) = delete;

  // Posting fails from now on; what is still queued is dropped (its reply channels close).
  ~QueueReceiver() {
    if (!state_) return;
    std::deque<T> dropped;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      dropped.swap(state_->items);
    }
    state_->not_full.notify_all();
  }

  // Posting fails from now on; what is queued stays to be taken. A drain that posters could
  // keep refilling would never end.
  void stop_posting() const {
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
    }
    state_->not_full.notify_all();
  }

  // Until an item is queued, `deadline` passes or the senders wake it, whichever is first.
  template <class Clock, class Duration>
  WaitOutcome wait_until(std::chrono::time_point<Clock, Duration> deadline) const {
    std::unique_lock lock(state_->mutex);
    state_->not_empty.wait_until(
        lock, deadline, [this] { return !state_->items.empty() || state_->wake_requested; });
    if (!state_->items.empty()) return WaitOutcome::Queued;
    if (std::exchange(state_->wake_requested, false)) return WaitOutcome::Woken;
    return WaitOutcome::DeadlinePassed;
  }

  // Everything queued now, in order, taken at once: what is posted meanwhile stays queued.
  std::deque<T> take_all() const {
    std::deque<T> items;
    {
      std::lock_guard lock(state_->mutex);
      items.swap(state_->items);
    }
    state_->not_full.notify_all();
    return items;
  }

  std::optional<T> try_receive() const {
    std::optional<T> item;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->items.empty()) return item;
      item.emplace(std::move(state_->items.front()));
      state_->items.pop_front();
    }
    state_->not_full.notify_one();
    return item;
  }

 private:
  std::shared_ptr<detail::QueueState<T>> state_;
};

template <class T>
std::pair<QueueSender<T>, QueueReceiver<T>> bounded_queue(std::size_t capacity) {
  auto state = std::make_shared<detail::QueueState<T>>(capacity);
  return {QueueSender<T>(state), QueueReceiver<T>(state)};
}

}  // namespace vorlix::control_loop
