#include "src/control_loop/control_loop_recording.hpp"

#include "src/control_loop/control_loop_state.hpp"

namespace vorlix::control_loop {

std::expected<void, RecordingFailure> RecordableControlLoop::start_recording(
    std::size_t capacity) {
  LoopState& loop = state();
  bool closed = false;
  if (auto stop = loop.stop_requested->lock()) closed = **stop;
  if (closed) return std::unexpected(RecordingFailure::ChannelClosed);
  if (!loop.recording->start(capacity)) return std::unexpected(RecordingFailure::AlreadyRecording);
  return {};
}

void RecordableControlLoop::stop_recording() { state().recording->stop(); }

TakenRecords RecordableControlLoop::take_recording() { return state().recording->take(); }

}  // namespace vorlix::control_loop
