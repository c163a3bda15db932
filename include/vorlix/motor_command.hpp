// The commands callers post to a running control loop, and how the worker carries them out.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "common/poisoned_mutex.hpp"
#include "vorlix/motor_error.hpp"
#include "src/control_loop/reply_channel.hpp"
#include "vorlix/controller.hpp"

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

using TorqueRecord = PoisonedMutex<MotorResult<bool>>;

// The worker discards command errors, so a value that must not reach a motor (NaN, an
// infinity) is refused here, on the poster's thread, with the text the direct controller gives.
controller::ControllerResult<void> check_command(const MotorCommand& command);

// Worker thread only. Executes one command; `last_torque` changes after a successful torque
// command.
controller::ControllerResult<void> handle_commands(controller::VorlixMotorController& controller,
                                                   TorqueRecord& last_torque, MotorCommand command,
                                                   std::uint64_t allowed_retries);

}  // namespace vorlix::control_loop
