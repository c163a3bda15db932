// The commands callers post to a running control loop.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include <vorlix/reply_sender.hpp>

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
struct ReadRawBytes {
  std::uint8_t id;
  std::uint8_t address;
  std::uint8_t length;
  ReplySender<RawBytes> reply;
};
struct WriteRawBytes {
  std::uint8_t id;
  std::uint8_t address;
  RawBytes data;
};
struct WriteRawPacket {
  RawBytes packet;
  ReplySender<RawBytes> reply;
};

using MotorCommand =
    std::variant<SetAllGoalPositions, SetLeftArmPosition, SetRightArmPosition, SetArmsPosition,
                 SetNosePosition, SetNeckPosition, SetNeckYawPosition, SetNeckPitchPosition,
                 SetNeckRollPosition, EnableNeck, EnableTorque, EnableTorqueOnIds, DisableTorque,
                 DisableTorqueOnIds, EnableArms, EnableNose, ReadRawBytes, WriteRawBytes,
                 WriteRawPacket>;

}  // namespace vorlix::control_loop
