// Homing: each neck joint goes to the multiple of 2π nearest to where it reports now, since
// the motors' multi-turn counter restarts at power-up and "0" may be a full turn away.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string_view>

#include "common/format.hpp"
#include "common/interruption.hpp"
#include "src/controller/controller_state.hpp"

namespace vorlix::controller {

namespace {
constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kCycleSeconds = 0.01;
constexpr std::size_t kExtraCycles = 2000;
constexpr double kArrived = std::numeric_limits<double>::epsilon();

// Faster than the narrowest velocity range of the neck table, the set-point would jump
// towards the goal; slower than half a turn (the longest travel) an hour, homing would
// hold the controller for hours.
constexpr double kFastestSpeed =
    std::ranges::min(kNeckJoints, {}, [](const NeckJoint& joint) { return joint.limits.v_max; })
        .limits.v_max;
constexpr double kSlowestSpeed = std::numbers::pi / 3600.0;

// "{what} must be at most {high}, got {value}" or "... at least {low} ..."; NaN passes.
ControllerResult<void> require_speed_range(std::string_view what, double speed) {
  if (speed > kFastestSpeed) {
    return std::unexpected(ControllerError(ErrorKind::Refused,
        fmt::format("{} must be at most {}, got {}", what, kFastestSpeed, speed)));
  }
  if (speed < kSlowestSpeed) {
    return std::unexpected(ControllerError(ErrorKind::Refused,
        fmt::format("{} must be at least {}, got {}", what, kSlowestSpeed, speed)));
  }
  return {};
}
}  // namespace

ControllerResult<NeckArray> VorlixMotorController::neck_home(double speed, double tolerance,
                                                             std::optional<float> kp,
                                                             std::optional<float> kd,
                                                             std::stop_token stop) {
  // A speed or tolerance must also be finite: an infinite speed would jump the set-point
  // straight to a goal up to π away.
  if (auto valid = first_failure({require_positive("neck_home: speed", speed),
                                  require_speed_range("neck_home: speed", speed),
                                  require_positive("neck_home: tolerance", tolerance),
                                  require_finite("neck_home: kp", kp),
                                  require_finite("neck_home: kd", kd)});
      !valid) {
    return std::unexpected(valid.error());
  }

  for (NeckCommandSlot& slot : state_->neck_slots) {
    if (kp) slot.kp = *kp;
    if (kd) slot.kd = *kd;
  }

  auto start = read_neck_positions();
  if (!start) return std::unexpected(start.error());
  NeckArray observed = *start;
  NeckArray commanded = *start;
  NeckArray goals{};
  for (std::size_t i = 0; i < goals.size(); ++i) {
    goals[i] = std::round(observed[i] / kTwoPi) * kTwoPi;
  }

  if (!state_->neck_torque_enabled) {
    if (auto enabled = enable_neck(true); !enabled) return std::unexpected(enabled.error());
  }

  const double step = speed * kCycleSeconds;
  double farthest = 0.0;
  for (std::size_t i = 0; i < goals.size(); ++i) {
    farthest = std::max(farthest, std::abs(observed[i] - goals[i]));
  }
  // At most π / (kSlowestSpeed × kCycleSeconds) = 360,000 cycles: the conversion is safe.
  const std::size_t budget = static_cast<std::size_t>(farthest / step) + kExtraCycles;

  std::array<bool, 3> settled{};
  for (std::size_t cycle = 0; cycle < budget; ++cycle) {
    for (std::size_t i = 0; i < goals.size(); ++i) {
      if (settled[i]) continue;
      const double d = commanded[i] - goals[i];
      if (d > step) {
        commanded[i] -= step;
      } else if (d < -step) {
        commanded[i] += step;
      } else {
        commanded[i] = goals[i];
      }
    }
    auto replies = command_neck_mit(commanded, "neck_home");
    if (!replies) return std::unexpected(replies.error());
    observed = *replies;
    for (std::size_t i = 0; i < goals.size(); ++i) {
      if (!settled[i] && std::abs(commanded[i] - goals[i]) < kArrived &&
          std::abs(observed[i] - goals[i]) < tolerance) {
        settled[i] = true;
      }
    }
    if (std::ranges::all_of(settled, [](bool joint_settled) { return joint_settled; })) {
      return observed;
    }
    // The motors hold the set-point of the cycle just completed.
    if (interruption::pause_or_stop(stop, state_->timing.homing_pause)) {
      return std::unexpected(ControllerError::interrupted("neck_home"));
    }
  }
  return std::unexpected(ControllerError(ErrorKind::TimedOut, fmt::format(
      "neck_home: timed out before settling. observed={:?}, goals={:?}, settled={:?}", observed,
      goals, settled)));
}

}  // namespace vorlix::controller
