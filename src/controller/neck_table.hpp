// The neck's motors, their limits and the checks every neck request passes.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "can_motor/damiao/mit.hpp"
#include "vorlix/controller.hpp"

namespace vorlix::controller {

using NeckCommandSlot = can_motor::damiao::MitCommand;

// A neck motor of the torso table with the limits its driver encodes with.
struct NeckJoint : torso::NeckMotor {
  can_motor::damiao::MitLimits limits;
};
inline constexpr auto kNeckJoints = [] {
  std::array<NeckJoint, torso::kNeck.size()> joints{};
  std::ranges::transform(torso::kNeck, joints.begin(), [](const torso::NeckMotor& motor) {
    const torso::MitRange& range = motor.mit_range;
    return NeckJoint{motor, {range.p_max, range.v_max, range.kp_max, range.kd_max, range.t_max}};
  });
  return joints;
}();

inline constexpr std::string_view kNeckOnlyMessage =
    "serial port not configured (neck-only controller)";

// Logs a warning when the request is out of range; never fails.
double clamp_neck_position(std::size_t joint, double requested);
// Refusals of non-finite neck requests, worded by the setter that would send them.
ControllerResult<void> require_finite_neck_position(const NeckArray& positions);
// Refuses a joint cast from outside the enumeration as well.
ControllerResult<void> require_finite_neck_joint(torso::NeckJoint joint, double position);

}  // namespace vorlix::controller
