// STS3025BL (the nose servos): the registers both models share.
#pragma once

#include "servo_bus/servo/feetech/group_ops.hpp"

namespace vorlix::servo_bus::sts3025bl {
using feetech::sync_read_present_position;
using feetech::sync_read_present_voltage;
using feetech::sync_read_raw_present_position;
using feetech::sync_read_raw_torque_enable;
using feetech::sync_read_torque_enable;
using feetech::sync_write_goal_position;
using feetech::sync_write_raw_goal_position;
using feetech::sync_write_raw_torque_enable;
using feetech::sync_write_torque_enable;
}  // namespace vorlix::servo_bus::sts3025bl
