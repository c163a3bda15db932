// The neck's motors, their limits and the checks every neck request passes.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

#include "can_motor/damiao/mit.hpp"
#include "vorlix/controller.hpp"

namespace vorlix::controller {

using NeckCommandSlot = can_motor::damiao::MitCommand;

// The neck motor table, in neck order (yaw, pitch, roll).
struct NeckJoint {
  std::string_view name;
  std::uint16_t can_id;
  std::uint16_t master_id;
  can_motor::damiao::MitLimits limits;
  float default_kp;
  float default_kd;
};
inline constexpr std::array<NeckJoint, 3> kNeckJoints = {{
    {kNeckNames[0], 1, 1, {12.5F, 30.0F, 500.0F, 5.0F, 10.0F}, 30.0F, 1.0F},
    {kNeckNames[1], 2, 2, {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}, 60.0F, 2.0F},
    {kNeckNames[2], 3, 3, {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}, 60.0F, 2.0F},
}};
inline constexpr std::array<std::pair<double, double>, 3> NECK_LIMITS = {
    {{-0.5, 0.5}, {0.0, 0.45}, {-0.4, 0.4}}};

inline constexpr std::string_view kNeckOnlyMessage =
    "serial port not configured (neck-only controller)";

// Logs a warning when the request is out of range; never fails.
double clamp_neck_position(std::size_t joint, double requested);
// Refusals of non-finite neck requests, worded by the setter that would send them.
ControllerResult<void> require_finite_neck_position(const NeckArray& positions);
ControllerResult<void> require_finite_neck_joint(std::size_t index, double position);

}  // namespace vorlix::controller
