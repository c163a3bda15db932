// The neck's CAN bus in memory: three Damiao motors in MIT mode that answer each request at
// once, so the controller's neck logic runs without a CAN interface and without a wait. Every
// frame the controller sends is kept for exact checks.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "can_motor/damiao/mit.hpp"
#include "vorlix/can_transport.hpp"

namespace vorlix::testing {

struct ScriptedNeckMotor {
  can_motor::damiao::MitLimits limits;
  float position = 0.0F;  // radians, what the motor reports
  float velocity = 0.0F;  // rad/s, reported as is
  float torque = 0.0F;    // N·m, reported as is
  bool follows = true;    // moves to each commanded position at once; false: blocked
  bool answers = true;
  std::uint32_t mode = 1;  // MIT
  // What a read of any other register answers (0 when absent): the neck table's master id
  // and ranges, unless a test sets others.
  std::map<std::uint8_t, std::uint32_t> registers;
};

class ScriptedNeck final : public can_motor::CanTransport {
 public:
  ScriptedNeck();  // yaw, pitch, roll at 0 rad, with the neck table's limits

  can_motor::CanResult<void> send(const can_motor::CanFrame& frame) override;
  // Never waits: a frame already answered, or a time-out.
  can_motor::CanResult<can_motor::CanFrame> recv(can_motor::Duration timeout) override;

  template <class Body>
  auto with(Body body) {
    std::lock_guard lock(mutex_);
    return body(motors_);
  }
  std::vector<can_motor::CanFrame> take_sent();

 private:
  void answer(const can_motor::CanFrame& frame);
  void reply_state(std::size_t motor);

  std::mutex mutex_;
  std::array<ScriptedNeckMotor, 3> motors_;
  std::vector<can_motor::CanFrame> sent_;
  std::deque<can_motor::CanFrame> inbox_;
};

// The frame the driver sends to command `joint` of the neck in MIT mode.
can_motor::CanFrame mit_frame(std::size_t joint, const can_motor::damiao::MitCommand& command);

}  // namespace vorlix::testing
