// The commands callers post to a running control loop. The requests that wait for an answer
// (ControlLoop::async_read_raw_bytes, write_raw_packet) are the loop's own, made inside it.
#pragma once

#include <array>
#include <cstdint>
#include <variant>
#include <vector>

namespace vorlix::control_loop {

using RawBytes = std::vector<std::uint8_t>;

struct SetAllGoalPositions {
  std::array<double, 7> positions;  // left arm, right arm, nose
};
struct SetLeftArmPosition {
  std::array<double, 2> position;
};
struct SetRightArmPosition {
  std::array<double, 2> position;
};
struct SetArmsPosition {
  std::array<double, 4> position;
};
struct SetNosePosition {
  std::array<double, 3> position;
};
struct SetNeckPosition {
  std::array<double, 3> position;  // yaw, pitch, roll
};
struct SetNeckYawPosition {
  double position;
};
struct SetNeckPitchPosition {
  double position;
};
struct SetNeckRollPosition {
  double position;
};
struct EnableNeck {
  bool enable;
};
struct EnableTorque {};
struct EnableTorqueOnIds {
  std::vector<std::uint8_t> ids;
};
struct DisableTorque {};
struct DisableTorqueOnIds {
  std::vector<std::uint8_t> ids;
};
struct EnableArms {
  bool enable;
};
struct EnableNose {
  bool enable;
};
struct WriteRawBytes {
  std::uint8_t id;
  std::uint8_t address;
  RawBytes data;
};

using MotorCommand =
    std::variant<SetAllGoalPositions, SetLeftArmPosition, SetRightArmPosition, SetArmsPosition,
                 SetNosePosition, SetNeckPosition, SetNeckYawPosition, SetNeckPitchPosition,
                 SetNeckRollPosition, EnableNeck, EnableTorque, EnableTorqueOnIds, DisableTorque,
                 DisableTorqueOnIds, EnableArms, EnableNose, WriteRawBytes>;

}  // namespace vorlix::control_loop
