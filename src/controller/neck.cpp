// The neck: three Damiao motors in MIT impedance mode, commanded within hard limits.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "common/format.hpp"
#include "common/log.hpp"
#include "src/controller/controller_state.hpp"

namespace vorlix::controller {

namespace {

constexpr std::uint8_t kMitMode = static_cast<std::uint8_t>(can_motor::damiao::ControlMode::Mit);

std::unexpected<ControllerError> feedback_failure(std::size_t joint,
                                                  const can_motor::damiao::DamiaoError& error) {
  return std::unexpected(ControllerError(
      NeckFailure{fmt::format("read_neck_positions({})", kNeckJoints[joint].name), error}));
}

std::unexpected<ControllerError> out_of_range(std::size_t index) {
  return std::unexpected(
      ControllerError(ErrorKind::Refused, fmt::format("neck index out of range: {}", index)));
}

// An enumerator's index, or the refusal of a value cast into the enumeration.
ControllerResult<std::size_t> checked_index(torso::NeckJoint joint) {
  const auto index = torso::neck_index(joint);
  if (!index) return out_of_range(static_cast<std::size_t>(joint));
  return *index;
}

}  // namespace

ControllerResult<torso::NeckJoint> neck_joint_at(std::size_t index) {
  if (index >= torso::kNeck.size()) return out_of_range(index);
  return static_cast<torso::NeckJoint>(index);
}

double clamp_neck_position(std::size_t joint, double requested) {
  const auto [lower, upper] = torso::kNeckLimits[joint];
  const double clamped = requested > upper ? upper : (requested < lower ? lower : requested);
  if (std::abs(clamped - requested) > std::numeric_limits<double>::epsilon()) {
    log::warn(log::kControllerTarget,
              fmt::format("{} requested position {:.4} rad out of safe range [{:.4}, {:.4}]; "
                          "clamped to {:.4}",
                          kNeckJoints[joint].name, requested, lower, upper, clamped));
  }
  return clamped;
}

ControllerResult<void> VorlixMotorController::enable_neck(bool enable) {
  for (std::size_t i = 0; i < state_->neck_motors.size(); ++i) {
    const auto& motor = state_->neck_motors[i];
    const std::string_view name = kNeckJoints[i].name;
    if (enable) {
      if (auto mode = motor.ensure_control_mode(*state_->can_bus, kMitMode); !mode) {
        return std::unexpected(
            NeckFailure{fmt::format("{}: ensure MIT mode failed", name), mode.error()});
      }
      if (auto enabled = motor.enable(*state_->can_bus); !enabled) {
        return std::unexpected(
            NeckFailure{fmt::format("{}: enable failed", name), enabled.error()});
      }
    } else if (auto disabled = motor.disable(*state_->can_bus); !disabled) {
      return std::unexpected(
          NeckFailure{fmt::format("{}: disable failed", name), disabled.error()});
    }
  }
  state_->neck_torque_enabled = enable;
  return {};
}

ControllerResult<void> VorlixMotorController::set_neck_gains(torso::NeckJoint joint, float kp,
                                                             float kd) {
  const auto index = checked_index(joint);
  if (!index) return std::unexpected(index.error());
  if (auto valid = first_failure({require_finite("set_neck_gains: kp", kp),
                                  require_finite("set_neck_gains: kd", kd)});
      !valid) {
    return valid;
  }
  state_->neck_slots[*index].kp = kp;
  state_->neck_slots[*index].kd = kd;
  return {};
}

ControllerResult<NeckArray> VorlixMotorController::command_neck_mit(const NeckArray& positions,
                                                                    std::string_view label) {
  NeckArray observed{};
  for (std::size_t i = 0; i < state_->neck_motors.size(); ++i) {
    state_->neck_slots[i].position = static_cast<float>(positions[i]);
    auto reply = state_->neck_motors[i].control(*state_->can_bus, state_->neck_slots[i]);
    if (!reply) {
      return std::unexpected(
          NeckFailure{fmt::format("{}({})", label, kNeckJoints[i].name), reply.error()});
    }
    observed[i] = reply->position;
  }
  return observed;
}

ControllerResult<void> require_finite_neck_position(const NeckArray& positions) {
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (auto finite =
            require_finite(fmt::format("set_neck_position: {} position", kNeckJoints[i].name),
                           positions[i]);
        !finite) {
      return finite;
    }
  }
  return {};
}

ControllerResult<void> require_finite_neck_joint(torso::NeckJoint joint, double position) {
  const auto index = checked_index(joint);
  if (!index) return std::unexpected(index.error());
  return require_finite(fmt::format("set_{}_position: position", kNeckJoints[*index].name),
                        position);
}

ControllerResult<NeckArray> VorlixMotorController::set_neck_position(const NeckArray& positions) {
  if (auto finite = require_finite_neck_position(positions); !finite) {
    return std::unexpected(finite.error());
  }
  NeckArray clamped{};
  for (std::size_t i = 0; i < positions.size(); ++i) {
    clamped[i] = clamp_neck_position(i, positions[i]);
  }
  return command_neck_mit(clamped, "set_neck_position");
}

ControllerResult<double> VorlixMotorController::set_single_neck_joint(torso::NeckJoint joint,
                                                                      double position) {
  if (auto finite = require_finite_neck_joint(joint, position); !finite) {
    return std::unexpected(finite.error());
  }
  const std::size_t index = *torso::neck_index(joint);
  state_->neck_slots[index].position = static_cast<float>(clamp_neck_position(index, position));
  auto reply = state_->neck_motors[index].control(*state_->can_bus, state_->neck_slots[index]);
  if (!reply) {
    return std::unexpected(
        NeckFailure{fmt::format("set_{}_position", kNeckJoints[index].name), reply.error()});
  }
  return static_cast<double>(reply->position);
}

ControllerResult<NeckArray> VorlixMotorController::read_neck_positions() {
  NeckArray positions{};
  for (std::size_t i = 0; i < state_->neck_motors.size(); ++i) {
    auto reply = state_->neck_motors[i].request_feedback(*state_->can_bus);
    if (!reply) return feedback_failure(i, reply.error());
    positions[i] = reply->position;
  }
  return positions;
}

ControllerResult<std::chrono::steady_clock::time_point>
VorlixMotorController::request_neck_feedback() {
  // A timed-out reading's replies are waited out and whatever else is queued is dropped: as
  // in each single exchange, no reply to an earlier request may pass for one of these.
  // Forgotten only once waited out: a bus failure meanwhile leaves it for the next reading.
  if (state_->neck_late_until) {
    const auto until = *state_->neck_late_until;
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
      auto late = state_->can_bus->recv_into(state_->neck_reply, until - now);
      if (!late && late.error().kind() == can_motor::CanError::Kind::Timeout) break;
      if (!late) return feedback_failure(0, can_motor::damiao::DamiaoError(late.error()));
    }
    state_->neck_late_until.reset();
  }
  if (auto drained = state_->can_bus->discard_pending(); !drained) {
    return feedback_failure(0, can_motor::damiao::DamiaoError(drained.error()));
  }
  for (std::size_t i = 0; i < state_->neck_feedback_requests.size(); ++i) {
    if (auto sent = state_->can_bus->send(state_->neck_feedback_requests[i]); !sent) {
      return feedback_failure(i, can_motor::damiao::DamiaoError(sent.error()));
    }
  }
  return std::chrono::steady_clock::now() + state_->timing.neck_reply;
}

ControllerResult<NeckFeedback> VorlixMotorController::collect_neck_feedback(
    std::chrono::steady_clock::time_point deadline) {
  using Reply = can_motor::damiao::DamiaoResult<can_motor::damiao::MotorState>;
  std::array<std::optional<Reply>, 3> replies{};
  for (;;) {
    const auto missing = static_cast<std::size_t>(
        std::ranges::find_if(replies, [](const auto& reply) { return !reply; }) -
        replies.begin());
    if (missing == replies.size()) break;
    // What is queued is taken without a look at the clock: the servo line usually took longer
    // than the motors did. Past the deadline, a queued reply is still taken.
    auto received = state_->can_bus->recv_into(state_->neck_reply, can_motor::Duration::zero());
    if (!received && received.error().kind() == can_motor::CanError::Kind::Timeout) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left > can_motor::Duration::zero()) {
        received = state_->can_bus->recv_into(state_->neck_reply, left);
      }
    }
    if (!received) {
      state_->neck_late_until = deadline + state_->timing.neck_reply;
      return feedback_failure(missing, can_motor::damiao::DamiaoError(received.error()));
    }
    for (std::size_t i = 0; i < replies.size(); ++i) {
      if (!replies[i] && state_->neck_motors[i].is_reply(state_->neck_reply)) {
        replies[i] = state_->neck_motors[i].reply_state(state_->neck_reply);
        break;
      }
    }
  }
  // In neck order, so a failure names the motor a one-by-one reading would have named.
  NeckFeedback feedback{};
  for (std::size_t i = 0; i < replies.size(); ++i) {
    if (!*replies[i]) return feedback_failure(i, replies[i]->error());
    feedback.position[i] = (*replies[i])->position;
    feedback.velocity[i] = (*replies[i])->velocity;
    feedback.torque[i] = (*replies[i])->torque;
  }
  return feedback;
}

std::vector<std::string> VorlixMotorController::check_missing_neck_motors() {
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < state_->neck_motors.size(); ++i) {
    if (!state_->neck_motors[i].request_feedback(*state_->can_bus)) {
      missing.emplace_back(kNeckJoints[i].name);
    }
  }
  return missing;
}

}  // namespace vorlix::controller
