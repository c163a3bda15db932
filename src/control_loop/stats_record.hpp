// The loop's published timing statistics: the worker appends, any thread copies every sample.
// Samples sit in fixed-size chunks shared with the readers; a slot is written once, before the
// count that makes it visible, and never again. A reader takes the chunk lists and counts under
// the lock for a moment and copies outside it, so however long the history, the worker never
// waits for a copy.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/poisoned_mutex.hpp"
#include "src/control_loop/reading.hpp"

namespace vorlix::control_loop {

enum class StatsList { Period, ReadDt, WriteDt };

class StatsRecord {
 public:
  static constexpr std::size_t kChunkSamples = 4096;

  // Worker only. False when the record is poisoned: readers see none of `samples`.
  bool append(StatsList list, std::span<const double> samples) {
    if (samples.empty()) return true;
    Writer& writer = writers_[index(list)];
    for (const double sample : samples) writer.put(sample);
    auto published = published_.lock();
    if (!published) return false;
    (**published)[index(list)] = writer.visible();
    return true;
  }

  // Any thread: every sample so far, into the empty lists of `stats` (the caller's, so that
  // they are not moved on their way out); true when the lock was found poisoned.
  bool copy_into(ControlLoopStats& stats) {
    bool poisoned = false;
    const Lists lists = published_.copy_ignoring_poison(poisoned);
    lists[index(StatsList::Period)].copy_to(stats.period);
    lists[index(StatsList::ReadDt)].copy_to(stats.read_dt);
    lists[index(StatsList::WriteDt)].copy_to(stats.write_dt);
    return poisoned;
  }

 private:
  using Chunk = std::array<double, kChunkSamples>;
  using Chunks = std::vector<std::shared_ptr<const Chunk>>;

  // The first `size` samples of `chunks`: what a reader may copy.
  struct Visible {
    std::shared_ptr<const Chunks> chunks;
    std::size_t size = 0;

    void copy_to(std::vector<double>& samples) const {
      samples.reserve(size);
      for (std::size_t start = 0; start < size; start += kChunkSamples) {
        const Chunk& chunk = *(*chunks)[start / kChunkSamples];
        samples.insert(samples.end(), chunk.begin(),
                       chunk.begin() + static_cast<std::ptrdiff_t>(std::min(kChunkSamples, size - start)));
      }
    }
  };
  using Lists = std::array<Visible, 3>;

  // The worker's side of one list: the chunk being filled past the visible samples.
  class Writer {
   public:
    // May allocate; readers see nothing of it until `visible` is published.
    void put(double sample) {
      const std::size_t slot = size_ % kChunkSamples;
      if (slot == 0) {
        auto chunk = std::make_shared<Chunk>();
        auto grown = chunks_ ? std::make_shared<Chunks>(*chunks_) : std::make_shared<Chunks>();
        grown->push_back(chunk);
        chunks_ = std::move(grown);
        last_ = std::move(chunk);
      }
      (*last_)[slot] = sample;
      ++size_;
    }

    Visible visible() const { return Visible{chunks_, size_}; }

   private:
    std::shared_ptr<Chunk> last_;
    std::shared_ptr<const Chunks> chunks_;
    std::size_t size_ = 0;
  };

  static std::size_t index(StatsList list) { return static_cast<std::size_t>(list); }

  std::array<Writer, 3> writers_;
  PoisonedMutex<Lists> published_{Lists{}};
};

}  // namespace vorlix::control_loop
