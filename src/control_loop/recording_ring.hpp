// A bounded ring of captured records between one producer that must never wait (the worker)
// and one consumer that may fall behind: the producer overwrites the oldest records, and the
// consumer counts every record it never got.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "src/control_loop/capture_record.hpp"

namespace vorlix::control_loop {

class RecordingRing {
 public:
  // Every slot is made here; nothing is allocated afterwards on the producer's side.
  explicit RecordingRing(std::size_t capacity);

  std::size_t capacity() const { return capacity_; }

  // Producer only: lock-free, wait-free.
  void push(const CaptureRecord& record);

  // Consumer only, one thread at a time: appends every record published since the last take
  // and returns how many were overwritten before they could be copied.
  std::uint64_t take(std::vector<CaptureRecord>& out);

 private:
  static constexpr std::size_t kWords = sizeof(CaptureRecord) / sizeof(std::uint64_t);

  // A sequence lock per slot: 2i+1 while record i is written, 2i+2 once it is complete. Every
  // word is an atomic, so a copy that races with an overwrite is detected, not undefined.
  struct Slot {
    std::atomic<std::uint64_t> sequence{0};
    std::array<std::atomic<std::uint64_t>, kWords> words{};
  };

  bool copy_out(std::uint64_t index, CaptureRecord& out) const;

  std::size_t capacity_;
  std::unique_ptr<Slot[]> slots_;
  std::atomic<std::uint64_t> published_{0};
  std::uint64_t produced_ = 0;  // producer's own count
  std::uint64_t taken_ = 0;     // consumer's own: records delivered or counted as dropped
};

}  // namespace vorlix::control_loop
