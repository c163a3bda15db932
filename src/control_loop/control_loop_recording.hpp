// The loop's recording face, for the library's own callers: start, stop and take; the worker
// publishes.
#pragma once

#include <cstddef>
#include <expected>

#include "src/control_loop/recording.hpp"
#include "vorlix/control_loop.hpp"

namespace vorlix::control_loop {

enum class RecordingFailure { ChannelClosed, AlreadyRecording };

struct ControlLoopRecording {
  // Every tick and executed command from now on, into a ring of `capacity` records (1 to
  // kMaxRecordingCapacity, the caller checks). Never waits for the worker.
  static std::expected<void, RecordingFailure> start(ControlLoop& loop, std::size_t capacity);
  static void stop(ControlLoop& loop);
  // What was captured since the last take, and how many records were lost meanwhile.
  static TakenRecords take(ControlLoop& loop);
};

}  // namespace vorlix::control_loop
