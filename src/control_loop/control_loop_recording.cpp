// The loop's recording face: callers start, stop and take; the worker publishes.
#include "src/control_loop/control_loop.hpp"

namespace vorlix::control_loop {

std::expected<void, RecordingFailure> VorlixControlLoop::start_recording(std::size_t capacity) {
  bool closed = false;
  if (auto stop = stop_requested_->lock()) closed = **stop;
  if (closed) return std::unexpected(RecordingFailure::ChannelClosed);
  if (!recording_->start(capacity)) return std::unexpected(RecordingFailure::AlreadyRecording);
  return {};
}

void VorlixControlLoop::stop_recording() { recording_->stop(); }

TakenRecords VorlixControlLoop::take_recording() { return recording_->take(); }

}  // namespace vorlix::control_loop
