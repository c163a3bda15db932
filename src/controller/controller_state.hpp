// What a controller holds: its buses, the drivers speaking over them and the neck's
// command slots.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <optional>

#include "can_motor/damiao/driver.hpp"
#include "servo_bus/feetech_protocol/protocol.hpp"
#include "src/controller/neck_table.hpp"
#include "vorlix/controller.hpp"

namespace vorlix::controller {

struct VorlixMotorController::State {
  Timing timing;
  std::array<can_motor::damiao::Damiao, 3> neck_motors;
  servo_bus::FeetechProtocolHandler servo_handler;
  // Members are destroyed in reverse order: the servo line closes before the CAN bus.
  std::unique_ptr<can_motor::CanTransport> can_bus;
  std::unique_ptr<servo_bus::ByteStream> servo_line;  // null: neck-only
  std::array<NeckCommandSlot, 3> neck_slots;
  // Made once and reused, so that a periodic reading allocates nothing.
  std::array<can_motor::CanFrame, 3> neck_feedback_requests;
  can_motor::CanFrame neck_reply;
  // A reading that timed out may still be answered until then; a reply has no sequence
  // number, so the next reading waits those replies out rather than take one for its own.
  std::optional<std::chrono::steady_clock::time_point> neck_late_until;
  bool neck_torque_enabled = false;
};

}  // namespace vorlix::controller
