// SM40BL (the arm servos): the shared registers plus the position offset and EEPROM lock.
#pragma once

#include "servo_bus/servo/feetech/group_ops.hpp"

namespace vorlix::servo_bus::sm40bl {
using feetech::sync_read_offset;
using feetech::sync_read_present_position;
using feetech::sync_read_present_voltage;
using feetech::sync_read_raw_offset;
using feetech::sync_read_raw_present_position;
using feetech::sync_read_raw_torque_enable;
using feetech::sync_read_torque_enable;
using feetech::sync_write_goal_position;
using feetech::sync_write_lock;
using feetech::sync_write_offset;
using feetech::sync_write_raw_goal_position;
using feetech::sync_write_raw_lock;
using feetech::sync_write_raw_offset;
using feetech::sync_write_raw_torque_enable;
using feetech::sync_write_torque_enable;
}  // namespace vorlix::servo_bus::sm40bl
