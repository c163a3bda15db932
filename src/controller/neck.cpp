// The neck: three Damiao motors in MIT impedance mode, commanded within hard limits.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "common/format.hpp"
#include "common/log.hpp"
#include "src/controller/controller.hpp"

namespace vorlix::controller {

namespace {

constexpr std::uint8_t kMitMode = static_cast<std::uint8_t>(can_motor::damiao::ControlMode::Mit);

std::unexpected<ControllerError> feedback_failure(std::size_t joint,
                                                  const can_motor::damiao::DamiaoError& error) {
  return std::unexpected(ControllerError::message(
      fmt::format("read_neck_positions({}): {}", kNeckJoints[joint].name, error.text())));
}

}  // namespace

double clamp_neck_position(std::size_t joint, double requested) {
  const auto [lower, upper] = NECK_LIMITS[joint];
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
  for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
    const auto& motor = neck_motors_[i];
    const std::string_view name = kNeckJoints[i].name;
    if (enable) {
      if (auto mode = motor.ensure_control_mode(can_transport_, kMitMode); !mode) {
        return std::unexpected(ControllerError::message(
            fmt::format("{}: ensure MIT mode failed: {}", name, mode.error().text())));
      }
      if (auto enabled = motor.enable(can_transport_); !enabled) {
        return std::unexpected(ControllerError::message(
            fmt::format("{}: enable failed: {}", name, enabled.error().text())));
      }
    } else if (auto disabled = motor.disable(can_transport_); !disabled) {
      return std::unexpected(ControllerError::message(
          fmt::format("{}: disable failed: {}", name, disabled.error().text())));
    }
  }
  neck_torque_enabled_ = enable;
  return {};
}

ControllerResult<void> VorlixMotorController::set_neck_gains(std::size_t index, float kp,
                                                             float kd) {
  if (index >= neck_slots_.size()) {
    return std::unexpected(
        ControllerError::message(fmt::format("neck index out of range: {}", index)));
  }
  if (auto valid = first_failure({require_finite("set_neck_gains: kp", kp),
                                  require_finite("set_neck_gains: kd", kd)});
      !valid) {
    return valid;
  }
  neck_slots_[index].kp = kp;
  neck_slots_[index].kd = kd;
  return {};
}

ControllerResult<NeckArray> VorlixMotorController::command_neck_mit(const NeckArray& positions,
                                                                    std::string_view label) {
  NeckArray observed{};
  for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
    neck_slots_[i].position = static_cast<float>(positions[i]);
    auto reply = neck_motors_[i].control(can_transport_, neck_slots_[i]);
    if (!reply) {
      return std::unexpected(ControllerError::message(
          fmt::format("{}({}): {}", label, kNeckJoints[i].name, reply.error().text())));
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

ControllerResult<void> require_finite_neck_joint(std::size_t index, double position) {
  return require_finite(fmt::format("set_{}_position: position", kNeckJoints[index].name),
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

ControllerResult<double> VorlixMotorController::set_single_neck_joint(std::size_t index,
                                                                      double position) {
  if (auto finite = require_finite_neck_joint(index, position); !finite) {
    return std::unexpected(finite.error());
  }
  neck_slots_[index].position = static_cast<float>(clamp_neck_position(index, position));
  auto reply = neck_motors_[index].control(can_transport_, neck_slots_[index]);
  if (!reply) {
    return std::unexpected(ControllerError::message(
        fmt::format("set_{}_position: {}", kNeckJoints[index].name, reply.error().text())));
  }
  return static_cast<double>(reply->position);
}

ControllerResult<NeckArray> VorlixMotorController::read_neck_positions() {
  NeckArray positions{};
  for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
    auto reply = neck_motors_[i].request_feedback(can_transport_);
    if (!reply) return feedback_failure(i, reply.error());
    positions[i] = reply->position;
  }
  return positions;
}

ControllerResult<std::chrono::steady_clock::time_point>
VorlixMotorController::request_neck_feedback() {
  // As each single exchange does: no reply to an earlier request may pass for one of these.
  if (auto drained = can_transport_.discard_pending(); !drained) {
    return feedback_failure(0, can_motor::damiao::DamiaoError(drained.error()));
  }
  for (std::size_t i = 0; i < neck_feedback_requests_.size(); ++i) {
    if (auto sent = can_transport_.send(neck_feedback_requests_[i]); !sent) {
      return feedback_failure(i, can_motor::damiao::DamiaoError(sent.error()));
    }
  }
  return std::chrono::steady_clock::now() + kNeckRequestTimeout;
}

ControllerResult<NeckArray> VorlixMotorController::collect_neck_feedback(
    std::chrono::steady_clock::time_point deadline) {
  using State = can_motor::damiao::DamiaoResult<can_motor::damiao::MotorState>;
  std::array<std::optional<State>, 3> replies{};
  for (;;) {
    const auto missing = static_cast<std::size_t>(
        std::ranges::find_if(replies, [](const auto& reply) { return !reply; }) -
        replies.begin());
    if (missing == replies.size()) break;
    // A zero wait still takes a reply that is already queued: the servo line may have taken
    // longer than the motors did.
    const auto left = std::max(deadline - std::chrono::steady_clock::now(),
                               std::chrono::steady_clock::duration::zero());
    if (auto received = can_transport_.recv_into(neck_reply_, left); !received) {
      return feedback_failure(missing, can_motor::damiao::DamiaoError(received.error()));
    }
    for (std::size_t i = 0; i < replies.size(); ++i) {
      if (!replies[i] && neck_motors_[i].is_reply(neck_reply_)) {
        replies[i] = neck_motors_[i].reply_state(neck_reply_);
        break;
      }
    }
  }
  // In neck order, so a failure names the motor a one-by-one reading would have named.
  NeckArray positions{};
  for (std::size_t i = 0; i < replies.size(); ++i) {
    if (!*replies[i]) return feedback_failure(i, replies[i]->error());
    positions[i] = (*replies[i])->position;
  }
  return positions;
}

std::vector<std::string> VorlixMotorController::check_missing_neck_motors() {
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
    if (!neck_motors_[i].request_feedback(can_transport_)) {
      missing.emplace_back(kNeckJoints[i].name);
    }
  }
  return missing;
}

}  // namespace vorlix::controller
