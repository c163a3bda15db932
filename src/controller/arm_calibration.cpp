// Arm zero calibration: the arms' current pose becomes the new zero by rewriting the arm
// servos' stored position offsets, assuming the servos report present = encoder - offset.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/format.hpp"
#include "servo_bus/servo/feetech/group_ops.hpp"
#include "src/controller/controller_state.hpp"

namespace vorlix::controller {

namespace {
namespace feetech = servo_bus::feetech;

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * kPi;
constexpr auto& kArmIds = torso::kGroupIds<ServoGroup::Arm>;
constexpr std::size_t kArmJoints = kArmIds.size();
constexpr const servo_bus::ServoModel& kArmModel = torso::model_of(ServoGroup::Arm);
}  // namespace

ControllerResult<std::array<double, 4>> VorlixMotorController::set_arm_home(double verify_tol) {
  // Also finite: an infinite tolerance would report any result as verified.
  if (auto valid = require_positive("set_arm_home: verify_tol", verify_tol); !valid) {
    return std::unexpected(valid.error());
  }
  auto port_or_error = servo_port();
  if (!port_or_error) return std::unexpected(port_or_error.error());
  servo_bus::ByteStream& port = **port_or_error;
  const auto fail = [](const servo_bus::ServoBusError& error) {
    return std::unexpected(ControllerError(error));
  };

  const servo_bus::FeetechProtocolHandler& handler = state_->servo_handler;
  if (auto off = feetech::sync_write_torque_enable(kArmModel, handler, port, kArmIds,
                                                   std::vector<bool>(kArmJoints, false));
      !off) {
    return fail(off.error());
  }
  auto present = feetech::sync_read_present_position(kArmModel, handler, port, kArmIds);
  if (!present) return fail(present.error());
  auto prior = feetech::sync_read_offset(kArmModel, handler, port, kArmIds);
  if (!prior) return fail(prior.error());
  if (present->size() != kArmJoints || prior->size() != kArmJoints) {
    return std::unexpected(ControllerError(ErrorKind::Protocol,
        fmt::format("set_arm_home: incomplete arm response (present={} ids, offset={} ids)",
                    present->size(), prior->size())));
  }

  std::vector<double> new_offsets(kArmJoints);
  for (std::size_t i = 0; i < kArmJoints; ++i) {
    double offset = (*present)[i] + (*prior)[i];
    while (offset > kPi) offset -= kTwoPi;
    while (offset < -kPi) offset += kTwoPi;
    new_offsets[i] = offset;
  }

  if (auto unlocked = feetech::sync_write_lock(kArmModel, handler, port, kArmIds,
                                               std::vector<bool>(kArmJoints, false));
      !unlocked) {
    return fail(unlocked.error());
  }
  if (auto written = feetech::sync_write_offset(kArmModel, handler, port, kArmIds, new_offsets);
      !written) {
    return fail(written.error());
  }
  if (auto locked = feetech::sync_write_lock(kArmModel, handler, port, kArmIds,
                                             std::vector<bool>(kArmJoints, true));
      !locked) {
    return fail(locked.error());
  }

  auto check = feetech::sync_read_present_position(kArmModel, handler, port, kArmIds);
  if (!check) return fail(check.error());
  if (check->size() != kArmJoints) {
    return std::unexpected(ControllerError(ErrorKind::Protocol, fmt::format(
        "set_arm_home: verify read returned {} values (expected 4)", check->size())));
  }
  double largest = 0.0;
  for (const double position : *check) largest = std::max(largest, std::abs(position));
  if (largest <= verify_tol) {
    std::array<double, 4> result{};
    std::ranges::copy(*check, result.begin());
    return result;
  }
  return std::unexpected(ControllerError(ErrorKind::Protocol, fmt::format(
      "set_arm_home: verify failed — arm IDs {:?} now reading {:+.4?} rad (expected ~0 within "
      "{:.4}). The Feetech offset sign convention on this hardware may differ from the assumed "
      "`present = encoder - offset`. EEPROM has been left in the new state; restore manually "
      "using prior_offsets {:+.4?}, new_offsets {:+.4?}.",
      kArmIds, *check, verify_tol, *prior, new_offsets)));
}

}  // namespace vorlix::controller
