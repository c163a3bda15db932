#include "src/control_loop/recording_ring.hpp"

#include <cstring>
#include <stdexcept>

namespace vorlix::control_loop {

RecordingRing::RecordingRing(std::size_t capacity)
    : capacity_(capacity), slots_(std::make_unique<Slot[]>(capacity)) {
  if (capacity == 0) throw std::invalid_argument("a recording ring needs room for one record");
}

void RecordingRing::push(const CaptureRecord& record) {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(&record);
  const std::size_t words = (captured_size(record) + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
  const std::uint64_t index = produced_++;
  Slot& slot = slots_[index % capacity_];
  slot.sequence.store(2 * index + 1, std::memory_order_relaxed);
  // Release stores: a reader that sees any new word also sees the odd sequence before it. The
  // words past what the record holds keep an older record's bytes, which nobody reads.
  for (std::size_t i = 0; i < words; ++i) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i * sizeof word, sizeof word);
    slot.words[i].store(word, std::memory_order_release);
  }
  slot.sequence.store(2 * index + 2, std::memory_order_release);
  published_.store(index + 1, std::memory_order_release);
}

bool RecordingRing::copy_out(std::uint64_t index, CaptureRecord& out) const {
  const Slot& slot = slots_[index % capacity_];
  const std::uint64_t complete = 2 * index + 2;
  if (slot.sequence.load(std::memory_order_acquire) != complete) return false;
  std::array<std::uint64_t, kWords> words;
  // Acquire loads keep the second look at the sequence after every word.
  for (std::size_t i = 0; i < kWords; ++i) words[i] = slot.words[i].load(std::memory_order_acquire);
  if (slot.sequence.load(std::memory_order_relaxed) != complete) return false;
  std::memcpy(&out, words.data(), sizeof out);
  return true;
}

std::uint64_t RecordingRing::take(std::vector<CaptureRecord>& out) {
  const std::uint64_t published = published_.load(std::memory_order_acquire);
  std::uint64_t dropped = 0;
  if (published - taken_ > capacity_) {
    dropped = published - capacity_ - taken_;
    taken_ = published - capacity_;
  }
  out.reserve(out.size() + (published - taken_));
  for (; taken_ < published; ++taken_) {
    CaptureRecord record;
    if (copy_out(taken_, record)) {
      out.push_back(record);
    } else {
      ++dropped;  // overwritten while it was being copied
    }
  }
  return dropped;
}

}  // namespace vorlix::control_loop
