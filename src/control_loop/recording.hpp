// Recording, shared by the loop (callers start, stop and take) and its worker (which publishes).
// The worker never waits here and takes no lock: it reads one pointer per event and, when
// recording, copies its record into the ring. Callers serialise on their own lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/poisoned_mutex.hpp"
#include "src/control_loop/recording_ring.hpp"

namespace vorlix::control_loop {

// About 300 MB of records: hours at a 10 ms period for a consumer that never catches up.
inline constexpr std::size_t kMaxRecordingCapacity = 1'000'000;

struct TakenRecords {
  std::vector<CaptureRecord> records;
  std::uint64_t dropped;  // records captured since the last take that are lost
};

class Recording {
 public:
  // Caller threads. `capacity` from 1 to kMaxRecordingCapacity; false when already recording.
  bool start(std::size_t capacity);
  // Records captured until now stay there for the next take.
  void stop();
  TakenRecords take();

  // Worker thread.
  bool active() const { return current_.load(std::memory_order_acquire) != nullptr; }
  void publish(const CaptureRecord& record);

 private:
  struct Consumer {
    std::unique_ptr<RecordingRing> ring;  // the current one, or the last, kept for its takes
    std::uint64_t dropped = 0;            // of rings replaced before all was taken
  };

  std::atomic<RecordingRing*> current_{nullptr};
  // The ring the worker is copying into: a stop waits for that copy, never the worker for it.
  std::atomic<RecordingRing*> in_use_{nullptr};
  PoisonedMutex<Consumer> consumer_{Consumer{}};
};

}  // namespace vorlix::control_loop
