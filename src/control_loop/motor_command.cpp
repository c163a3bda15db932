#include "src/control_loop/motor_command.hpp"

#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "src/controller/neck_table.hpp"
#include "src/controller/servo_goals.hpp"
#include "src/control_loop/retry.hpp"

namespace vorlix::control_loop {

using controller::ControllerError;
using controller::ControllerResult;
using controller::group_goals_to_words;
using controller::ServoGroup;
using torso::NeckJoint;
using controller::VorlixMotorController;

namespace {

template <class T>
ControllerResult<void> discard_value(ControllerResult<T> result) {
  if (!result) return std::unexpected(std::move(result).error());
  return {};
}

ControllerResult<void> set_torque_record(ControllerResult<void> written, TorqueRecord& last_torque,
                                         bool enabled) {
  if (!written) return written;
  if (auto record = last_torque.lock()) **record = enabled;
  return written;
}

}  // namespace

ControllerResult<void> check_command(const MotorCommand& command) {
  return std::visit(
      [](const auto& body) -> ControllerResult<void> {
        using Body = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<Body, SetAllGoalPositions>) {
          return discard_value(controller::all_goals_to_words(body.positions));
        } else if constexpr (std::is_same_v<Body, SetLeftArmPosition>) {
          return discard_value(group_goals_to_words(ServoGroup::LeftArm, body.position));
        } else if constexpr (std::is_same_v<Body, SetRightArmPosition>) {
          return discard_value(group_goals_to_words(ServoGroup::RightArm, body.position));
        } else if constexpr (std::is_same_v<Body, SetArmsPosition>) {
          return discard_value(group_goals_to_words(ServoGroup::Arm, body.position));
        } else if constexpr (std::is_same_v<Body, SetNosePosition>) {
          return discard_value(group_goals_to_words(ServoGroup::Nose, body.position));
        } else if constexpr (std::is_same_v<Body, SetNeckPosition>) {
          return controller::require_finite_neck_position(body.position);
        } else if constexpr (std::is_same_v<Body, SetNeckYawPosition>) {
          return controller::require_finite_neck_joint(NeckJoint::Yaw, body.position);
        } else if constexpr (std::is_same_v<Body, SetNeckPitchPosition>) {
          return controller::require_finite_neck_joint(NeckJoint::Pitch, body.position);
        } else if constexpr (std::is_same_v<Body, SetNeckRollPosition>) {
          return controller::require_finite_neck_joint(NeckJoint::Roll, body.position);
        } else {
          return {};
        }
      },
      command);
}

ControllerResult<void> handle_commands(VorlixMotorController& controller,
                                       TorqueRecord& last_torque, QueuedCommand command,
                                       std::uint64_t allowed_retries) {
  return std::visit(
      [&](auto& body) -> ControllerResult<void> {
        using Body = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<Body, SetAllGoalPositions>) {
          return controller.set_all_goal_positions(body.positions);
        } else if constexpr (std::is_same_v<Body, SetLeftArmPosition>) {
          return controller.write_goal_positions(ServoGroup::LeftArm, body.position);
        } else if constexpr (std::is_same_v<Body, SetRightArmPosition>) {
          return controller.write_goal_positions(ServoGroup::RightArm, body.position);
        } else if constexpr (std::is_same_v<Body, SetArmsPosition>) {
          return controller.write_goal_positions(ServoGroup::Arm, body.position);
        } else if constexpr (std::is_same_v<Body, SetNosePosition>) {
          return controller.write_goal_positions(ServoGroup::Nose, body.position);
        } else if constexpr (std::is_same_v<Body, SetNeckPosition>) {
          return discard_value(controller.set_neck_position(body.position));
        } else if constexpr (std::is_same_v<Body, SetNeckYawPosition>) {
          return discard_value(controller.set_single_neck_joint(NeckJoint::Yaw, body.position));
        } else if constexpr (std::is_same_v<Body, SetNeckPitchPosition>) {
          return discard_value(controller.set_single_neck_joint(NeckJoint::Pitch, body.position));
        } else if constexpr (std::is_same_v<Body, SetNeckRollPosition>) {
          return discard_value(controller.set_single_neck_joint(NeckJoint::Roll, body.position));
        } else if constexpr (std::is_same_v<Body, EnableNeck>) {
          return controller.enable_neck(body.enable);
        } else if constexpr (std::is_same_v<Body, EnableTorque>) {
          return set_torque_record(controller.set_all_torque(true), last_torque, true);
        } else if constexpr (std::is_same_v<Body, EnableTorqueOnIds>) {
          return set_torque_record(controller.set_torque_on_ids(body.ids, true), last_torque, true);
        } else if constexpr (std::is_same_v<Body, DisableTorque>) {
          return set_torque_record(controller.set_all_torque(false), last_torque, false);
        } else if constexpr (std::is_same_v<Body, DisableTorqueOnIds>) {
          return set_torque_record(controller.set_torque_on_ids(body.ids, false), last_torque,
                                   false);
        } else if constexpr (std::is_same_v<Body, EnableArms>) {
          return controller.set_group_torque(ServoGroup::Arm, body.enable);
        } else if constexpr (std::is_same_v<Body, EnableNose>) {
          return controller.set_group_torque(ServoGroup::Nose, body.enable);
        } else if constexpr (std::is_same_v<Body, ReadRawBytes>) {
          auto bytes = with_retry(allowed_retries, controller.timing().retry_pause, [&] {
            return controller.read_raw_bytes(body.id, body.address, body.length);
          });
          if (!bytes) return std::unexpected(std::move(bytes).error());
          // An answer nobody waits for any more is not a failure of the read.
          std::move(body.reply).send(std::move(*bytes));
          return {};
        } else if constexpr (std::is_same_v<Body, WriteRawBytes>) {
          return controller.write_raw_bytes(body.id, body.address, body.data);
        } else {
          static_assert(std::is_same_v<Body, WriteRawPacket>);
          auto answer = controller.write_raw_packet(body.packet);
          if (!answer) return std::unexpected(std::move(answer).error());
          if (!std::move(body.reply).send(std::move(*answer))) {
            return std::unexpected(ControllerError(controller::ErrorKind::Closed,
                                                   "raw packet response not delivered: "
                                                   "requester gone"));
          }
          return {};
        }
      },
      command);
}

}  // namespace vorlix::control_loop
