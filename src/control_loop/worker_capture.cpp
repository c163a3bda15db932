#include "src/control_loop/worker_capture.hpp"

#include <chrono>
#include <utility>

namespace vorlix::control_loop {
namespace {

double seconds_between(LoopClock::time_point start, LoopClock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace

std::optional<LoopClock::time_point> WorkerCapture::tick(
    LoopClock::time_point started, const MotorResult<VorlixTorsoPosition>& reading) {
  const auto previous = std::exchange(last_tick_, started);
  if (!active()) return std::nullopt;
  const auto read = LoopClock::now();
  capture_tick(record_, reading, seconds_between(previous, started), seconds_between(started, read));
  recording_->publish(record_);
  return read;
}

void WorkerCapture::before_command(const QueuedCommand& command) {
  command_captured_ = active();
  if (!command_captured_) return;
  capture_command_arguments(record_, command);
  command_started_ = LoopClock::now();
}

void WorkerCapture::after_command(const controller::ControllerResult<void>& outcome) {
  if (!std::exchange(command_captured_, false)) return;
  record_.seconds = seconds_between(command_started_, LoopClock::now());
  record_.timestamp = wall_clock_seconds();
  record_.ok = outcome.has_value();
  if (outcome) {
    capture_text(record_, {});
  } else {
    capture_text(record_, outcome.error().text());
  }
  recording_->publish(record_);
}

}  // namespace vorlix::control_loop
