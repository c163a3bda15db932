#include "src/control_loop/control_loop_recording.hpp"

#include "src/control_loop/control_loop_state.hpp"

namespace vorlix::control_loop {

std::expected<void, RecordingFailure> ControlLoopRecording::start(ControlLoop& loop,
                                                                  std::size_t capacity) {
  ControlLoop::State& state = *loop.state_;
  bool closed = false;
  if (auto stop = state.stop_requested->lock()) closed = **stop;
  if (closed) return std::unexpected(RecordingFailure::ChannelClosed);
  if (!state.recording->start(capacity)) return std::unexpected(RecordingFailure::AlreadyRecording);
  return {};
}

void ControlLoopRecording::stop(ControlLoop& loop) { loop.state_->recording->stop(); }

TakenRecords ControlLoopRecording::take(ControlLoop& loop) { return loop.state_->recording->take(); }

}  // namespace vorlix::control_loop
