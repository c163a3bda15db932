// The three neck motors: feedback requests and register reads, nothing else.
#include "doctor/neck_checks.hpp"

#include <array>
#include <string>
#include <string_view>
#include <variant>

#include "can_motor/damiao/driver.hpp"
#include "common/format.hpp"
#include "src/controller/neck_table.hpp"

namespace vorlix::doctor {
namespace {

namespace damiao = can_motor::damiao;
using can_motor::CanError;
using can_motor::CanTransport;

constexpr auto kTimeoutUnit = std::chrono::microseconds(50);
// A timed-out exchange is tried again, each try waiting three times as long as the one
// before: a busy machine, not the motor, may have held the reply.
constexpr int kTries = 3;

constexpr std::array<std::string_view, 5> kModeNames = {"?", "MIT", "POS_VEL", "VEL",
                                                        "FORCE_POS"};

// One row about one motor.
struct MotorRow {
  Report& report;
  const controller::NeckJoint& joint;

  void ok(std::string_view name, std::string detail) const {
    report.ok(std::string(joint.name), std::string(name), std::move(detail));
  }
  void problem(std::string_view name, std::string detail, std::string fix) const {
    report.problem(std::string(joint.name), std::string(name), std::move(detail), std::move(fix));
  }
};

void judge_mode(const MotorRow& row, std::uint32_t mode) {
  const std::string_view name = mode < kModeNames.size() ? kModeNames[mode] : kModeNames[0];
  if (mode == static_cast<std::uint32_t>(damiao::ControlMode::Mit)) {
    return row.ok("CTRL_MODE", fmt::format("{} ({})", name, mode));
  }
  row.problem("CTRL_MODE", fmt::format("{} ({}): the controller commands MIT (1)", name, mode),
              fmt::format("enable_neck(True) switches motor {} to MIT, or set its CTRL_MODE to 1 "
                          "with the motor's configuration tool",
                          row.joint.name));
}

void judge_mapping(const MotorRow& row, std::string_view name, float value, float expected,
                   std::string_view quantity) {
  if (value == expected) {
    return row.ok(name, fmt::format("{}, as the controller decodes", value));
  }
  row.problem(name,
              fmt::format("motor {} {} is {}, the controller decodes with {}: {} are wrong",
                          row.joint.name, name, value, expected, quantity),
              fmt::format("set {} of motor {} to {} with the motor's configuration tool", name,
                          row.joint.name, expected));
}

void judge_master_id(const MotorRow& row, std::uint32_t id) {
  if (id == row.joint.master_id) return row.ok("MST_ID", fmt::format("{}", id));
  row.problem("MST_ID",
              fmt::format("{}: the controller waits for replies on {}", id, row.joint.master_id),
              fmt::format("set MST_ID of motor {} to {} with the motor's configuration tool",
                          row.joint.name, row.joint.master_id));
}

void judge_timeout(const MotorRow& row, std::uint32_t units) {
  if (units == 0) return row.ok("TIMEOUT", "0 (off)");
  const auto limit = std::chrono::duration<double, std::milli>(kTimeoutUnit * units);
  row.ok("TIMEOUT", fmt::format("{} (the motor disables itself after {} ms without a command)",
                                units, limit.count()));
}

struct MotorRegister {
  std::uint8_t id;
  void (*judge)(const MotorRow&, damiao::RegisterValue);
};
constexpr MotorRegister kMotorRegisters[] = {
    {damiao::kControlModeRegister,
     [](const MotorRow& row, damiao::RegisterValue value) { judge_mode(row, value.bits); }},
    {damiao::kPMaxRegister,
     [](const MotorRow& row, damiao::RegisterValue value) {
       judge_mapping(row, "PMAX", value.as_float(), row.joint.limits.p_max, "positions");
     }},
    {damiao::kVMaxRegister,
     [](const MotorRow& row, damiao::RegisterValue value) {
       judge_mapping(row, "VMAX", value.as_float(), row.joint.limits.v_max, "velocities");
     }},
    {damiao::kTMaxRegister,
     [](const MotorRow& row, damiao::RegisterValue value) {
       judge_mapping(row, "TMAX", value.as_float(), row.joint.limits.t_max, "torques");
     }},
    {damiao::kMasterIdRegister,
     [](const MotorRow& row, damiao::RegisterValue value) { judge_master_id(row, value.bits); }},
    {damiao::kTimeoutRegister,
     [](const MotorRow& row, damiao::RegisterValue value) { judge_timeout(row, value.bits); }},
};

bool timed_out(const damiao::DamiaoError& error) {
  const auto* cause = std::get_if<CanError>(&error.cause());
  return cause != nullptr && cause->kind() == CanError::Kind::Timeout;
}

// `exchange(motor)` until it does not time out, at most kTries times.
template <class Exchange>
auto with_tries(const controller::NeckJoint& joint, can_motor::Duration reply_wait,
                Exchange exchange) {
  for (int attempt = 1;; ++attempt, reply_wait *= 3) {
    const damiao::Damiao motor{reply_wait, joint.limits, joint.can_id, joint.master_id};
    auto result = exchange(motor);
    if (result || attempt == kTries || !timed_out(result.error())) return result;
  }
}

void check_motor(Report& report, CanTransport& transport, const controller::NeckJoint& joint,
                 can_motor::Duration reply_wait) {
  const MotorRow row{report, joint};
  if (const auto state = with_tries(joint, reply_wait,
                                    [&](const auto& motor) {
                                      return motor.request_feedback(transport);
                                    });
      state) {
    row.ok("feedback", fmt::format("answers: {:+.4} rad, status {}, driver {} °C, rotor {} °C",
                                   state->position, state->status, state->driver_temperature,
                                   state->rotor_temperature));
  } else {
    row.problem("feedback", "no answer: " + state.error().text(),
                fmt::format("check motor {}'s power and CAN wiring, and that its ESC_ID is {} "
                            "and MST_ID {}",
                            joint.name, joint.can_id, joint.master_id));
  }

  for (const MotorRegister& reg : kMotorRegisters) {
    const auto value = with_tries(joint, reply_wait, [&](const auto& motor) {
      return motor.read_register(transport, reg.id);
    });
    if (value) {
      reg.judge(row, *value);
      continue;
    }
    const bool silent = timed_out(value.error());
    row.problem(silent ? "registers" : damiao::lookup(reg.id)->name,
                "read failed: " + value.error().text(),
                fmt::format("check motor {}'s power and CAN wiring", joint.name));
    if (silent) return;  // every further read would wait out its time-out the same way
  }
}

}  // namespace

void check_neck_motors(Report& report, CanTransport& bus, can_motor::Duration reply_wait) {
  for (const controller::NeckJoint& joint : controller::kNeckJoints) {
    check_motor(report, bus, joint, reply_wait);
  }
}

}  // namespace vorlix::doctor
