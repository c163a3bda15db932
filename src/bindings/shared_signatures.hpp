// The parameters of the methods both classes have under one name (the torso's setters and
// enables, torque by ids, the raw packet), for the class named `Owner`: listed once, so that
// the two classes cannot drift apart.
#pragma once

#include <string_view>

#include "src/bindings/arguments.hpp"

namespace vorlix::bindings {

template <const std::string_view& Owner>
struct SharedSignatures {
  // Each method takes one parameter, required.
  static constexpr const char* kIds[] = {"ids"};
  static constexpr const char* kPositions[] = {"positions"};
  static constexpr const char* kPosition[] = {"position"};
  static constexpr const char* kEnable[] = {"enable"};
  static constexpr const char* kData[] = {"data"};

  // In the order of VorlixMotorController's table.
  static constexpr Signature kEnableTorqueOnIds{Owner, "enable_torque_on_ids", kIds, 1};
  static constexpr Signature kDisableTorqueOnIds{Owner, "disable_torque_on_ids", kIds, 1};
  static constexpr Signature kSetAllGoalPositions{Owner, "set_all_goal_positions", kPositions, 1};
  static constexpr Signature kSetLeftArmPosition{Owner, "set_left_arm_position", kPosition, 1};
  static constexpr Signature kSetRightArmPosition{Owner, "set_right_arm_position", kPosition, 1};
  static constexpr Signature kSetArmsPosition{Owner, "set_arms_position", kPosition, 1};
  static constexpr Signature kSetNosePosition{Owner, "set_nose_position", kPosition, 1};
  static constexpr Signature kSetNeckPosition{Owner, "set_neck_position", kPosition, 1};
  static constexpr Signature kSetNeckYawPosition{Owner, "set_neck_yaw_position", kPosition, 1};
  static constexpr Signature kSetNeckPitchPosition{Owner, "set_neck_pitch_position", kPosition, 1};
  static constexpr Signature kSetNeckRollPosition{Owner, "set_neck_roll_position", kPosition, 1};
  static constexpr Signature kEnableNeck{Owner, "enable_neck", kEnable, 1};
  static constexpr Signature kEnableArms{Owner, "enable_arms", kEnable, 1};
  static constexpr Signature kEnableNose{Owner, "enable_nose", kEnable, 1};
  static constexpr Signature kWriteRawPacket{Owner, "write_raw_packet", kData, 1};
};

}  // namespace vorlix::bindings
