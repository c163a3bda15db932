#include "src/control_loop/recording.hpp"

#include <thread>
#include <utility>

namespace vorlix::control_loop {

bool Recording::start(std::size_t capacity) {
  auto consumer = consumer_.lock_ignoring_poison();
  if (current_.load() != nullptr) return false;
  auto ring = std::make_unique<RecordingRing>(capacity);
  if (consumer->ring) {
    // What the last recording captured and nobody took is lost: counted, not silent.
    std::vector<CaptureRecord> untaken;
    consumer->dropped += consumer->ring->take(untaken) + untaken.size();
  }
  consumer->ring = std::move(ring);
  current_.store(consumer->ring.get());
  return true;
}

void Recording::stop() {
  auto consumer = consumer_.lock_ignoring_poison();
  RecordingRing* const stopped = current_.exchange(nullptr);
  if (stopped == nullptr) return;
  // The worker saw the ring before the exchange and is copying one record into it.
  while (in_use_.load() == stopped) std::this_thread::yield();
}

TakenRecords Recording::take() {
  auto consumer = consumer_.lock_ignoring_poison();
  TakenRecords taken{{}, std::exchange(consumer->dropped, 0)};
  if (consumer->ring) taken.dropped += consumer->ring->take(taken.records);
  return taken;
}

void Recording::publish(const CaptureRecord& record) {
  RecordingRing* const ring = current_.load(std::memory_order_acquire);
  if (ring == nullptr) return;
  in_use_.store(ring);
  // A stop that exchanged the pointer before the store above may not wait: look again.
  if (current_.load() == ring) ring->push(record);
  in_use_.store(nullptr, std::memory_order_release);
}

}  // namespace vorlix::control_loop
