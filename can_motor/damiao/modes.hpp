// The four control modes and their set-points.
#pragma once

#include <cstdint>
#include <variant>

#include "can_motor/damiao/mit.hpp"

namespace vorlix::can_motor::damiao {

enum class ControlMode : std::uint8_t { Mit = 1, PosVel = 2, Vel = 3, ForcePos = 4 };

struct PosVelCommand {
  float position;
  float velocity;
};

struct VelCommand {
  float velocity;
};

struct ForcePosCommand {
  float position;
  float velocity_limit;
  float current_limit;  // fraction 0..1 of the maximum
};

using ControlCommand = std::variant<MitCommand, PosVelCommand, VelCommand, ForcePosCommand>;

}  // namespace vorlix::can_motor::damiao
