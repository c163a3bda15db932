// A control loop that the library's own callers (the bindings) also record: start, stop and
// take; the worker publishes.
#pragma once

#include <cstddef>
#include <expected>
#include <utility>

#include "src/control_loop/recording.hpp"
#include "vorlix/control_loop.hpp"

namespace vorlix::control_loop {

enum class RecordingFailure { ChannelClosed, AlreadyRecording };

class RecordableControlLoop : public ControlLoop {
 public:
  explicit RecordableControlLoop(ControlLoop loop) : ControlLoop(std::move(loop)) {}

  // Every tick and executed command from now on, into a ring of `capacity` records (1 to
  // kMaxRecordingCapacity, the caller checks). Never waits for the worker.
  std::expected<void, RecordingFailure> start_recording(std::size_t capacity);
  void stop_recording();
  // What was captured since the last take, and how many records were lost meanwhile.
  TakenRecords take_recording();
};

}  // namespace vorlix::control_loop
