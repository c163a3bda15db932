// The worker's reconnection of the buses the loop opened itself: a servo line that hung up is
// closed and reopened at the same path, a CAN interface that went away gets a new transport
// on the same name, each tried again on a timer until it works. Worker thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "vorlix/controller.hpp"
#include "src/control_loop/loop_request.hpp"
#include "vorlix/motor_error.hpp"
#include "vorlix/torso_position.hpp"

namespace vorlix::control_loop {

// Where the loop opened its buses.
struct BusAddresses {
  std::optional<std::string> serial_path;  // none: a neck-only loop
  std::string can_interface;
};

struct ReconnectTiming {
  std::chrono::nanoseconds interval;        // between two attempts to reopen a bus
  std::chrono::nanoseconds can_down_limit;  // an interface down this long is taken for gone
};

enum class Bus { ServoLine, Neck };

Bus bus_of(const QueuedCommand& command);

// The buses that came back, each with how long it was away.
struct BusesBack {
  std::optional<std::chrono::nanoseconds> servo_line;
  std::optional<std::chrono::nanoseconds> neck;

  bool includes(Bus bus) const { return (bus == Bus::ServoLine ? servo_line : neck).has_value(); }
  bool any() const { return servo_line || neck; }
};

class BusReconnector {
 public:
  // Without addresses (buses given to the loop) nothing is ever reopened. A reopened bus's
  // pings follow the readings' retry rule (`allowed_retries` rounds).
  BusReconnector(std::optional<BusAddresses> addresses, ReconnectTiming timing,
                 std::uint64_t allowed_retries);

  // After an operation on `controller` failed: a hung-up servo line or a lost CAN interface
  // is closed at once, and its error stands for the bus's until it is open again.
  void notice_failure(controller::VorlixMotorController& controller,
                      const controller::ControllerError& error);
  // After each reading: a failure as notice_failure; a success shows the CAN interface up.
  void notice_reading(controller::VorlixMotorController& controller,
                      const MotorResult<VorlixTorsoPosition>& reading);
  // Reopens the buses whose attempt is due.
  BusesBack reopen_due(controller::VorlixMotorController& controller);
  // Once what was queued before their return is dropped: an info line for each.
  void announce(const BusesBack& back) const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Away {
    Clock::time_point since;
    Clock::time_point next_attempt;
  };

  bool reopen_servo_line(controller::VorlixMotorController& controller) const;
  bool reopen_can_bus(controller::VorlixMotorController& controller) const;
  void neck_gone(controller::VorlixMotorController& controller, const can_motor::CanError& loss,
                 const controller::ControllerError& error, Clock::time_point now);

  std::optional<BusAddresses> addresses_;
  ReconnectTiming timing_;
  std::uint64_t allowed_retries_;
  std::optional<Away> servo_line_away_;
  std::optional<Away> neck_away_;
  std::optional<Clock::time_point> can_down_since_;
};

}  // namespace vorlix::control_loop
