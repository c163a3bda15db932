// The worker's side of recording: builds each tick's and each command's record and publishes
// it. With recording off, each event costs one load of a pointer.
#pragma once

#include <memory>
#include <optional>

#include "src/control_loop/capture_record.hpp"
#include "src/control_loop/event_loop.hpp"
#include "src/control_loop/recording.hpp"

namespace vorlix::control_loop {

class WorkerCapture {
 public:
  // `recording` may be null: nothing is ever captured.
  WorkerCapture(std::shared_ptr<Recording> recording, LoopClock::time_point start)
      : recording_(std::move(recording)), last_tick_(start) {}

  // Right after the reading of a tick that began at `started`. When capturing, returns when
  // the reading ended, so that nobody reads the clock for it again.
  std::optional<LoopClock::time_point> tick(LoopClock::time_point started,
                                            const MotorResult<VorlixTorsoPosition>& reading);

  // Around one command: its arguments before it runs (it is moved into its execution), its
  // outcome after.
  void before_command(const QueuedCommand& command);
  void after_command(const controller::ControllerResult<void>& outcome);

 private:
  bool active() const { return recording_ != nullptr && recording_->active(); }

  std::shared_ptr<Recording> recording_;
  LoopClock::time_point last_tick_;
  CaptureRecord record_{};  // built here, copied into the ring
  bool command_captured_ = false;
  LoopClock::time_point command_started_;
};

}  // namespace vorlix::control_loop
