// The CAN interface and the three neck motors.
#include <linux/can/netlink.h>
#include <net/if.h>
#include <net/if_arp.h>

#include <array>
#include <filesystem>
#include <string_view>

#include "can_motor/damiao/driver.hpp"
#include "can_motor/transport/socketcan_backend.hpp"
#include "common/format.hpp"
#include "src/controller/neck_table.hpp"
#include "doctor/device_checks.hpp"
#include "doctor/system.hpp"

namespace vorlix::doctor {
namespace {

namespace fs = std::filesystem;
namespace damiao = can_motor::damiao;
using can_motor::CanError;
using can_motor::CanTransport;

constexpr std::string_view kBus = "can";

constexpr auto kTimeoutUnit = std::chrono::microseconds(50);

constexpr std::array<std::string_view, 5> kModeNames = {"?", "MIT", "POS_VEL", "VEL",
                                                        "FORCE_POS"};
constexpr std::array<std::string_view, 6> kBusStates = {
    "error-active", "error-warning", "error-passive", "bus-off", "stopped", "sleeping"};

// The counters that say frames were lost or garbled since the interface came up.
constexpr std::array<std::string_view, 4> kErrorCounters = {"rx_errors", "tx_errors",
                                                            "rx_dropped", "tx_dropped"};

std::string bring_up_command(const std::string& iface, const LinkInfo& link) {
  return link.kind == "vcan"
             ? fmt::format("sudo ip link set {} up", iface)
             : fmt::format("sudo ip link set {} up type can bitrate 1000000", iface);
}

// False when the interface cannot carry the motors' frames, so they are not asked.
bool check_interface(Report& report, const std::string& iface) {
  const std::string bus(kBus);
  const unsigned index = ::if_nametoindex(iface.c_str());
  if (index == 0) {
    report.problem(bus, "interface", fmt::format("{}: no such interface", iface),
                   "plug in the CAN adapter and give its interface; ip link lists them");
    return false;
  }
  const auto link = query_link(index);
  if (!link) {
    report.problem(bus, "interface", fmt::format("{}: netlink: {}", iface, link.error()),
                   "run the doctor on the computer that has the interface");
    return false;
  }
  if (link->type != ARPHRD_CAN) {
    report.problem(bus, "interface",
                   fmt::format("{} is not a CAN interface (link type {})", iface, link->type),
                   "give the CAN adapter's interface, e.g. can0");
    return false;
  }
  const std::string kind = link->kind.empty() ? "CAN" : link->kind;
  if (!link->up) {
    report.problem(bus, "interface",
                   fmt::format("{} ({}) is down: the motors were not asked", iface, kind),
                   "bring it up: " + bring_up_command(iface, *link));
    return false;
  }
  report.ok(bus, "interface", fmt::format("{} ({}) is up", iface, kind));

  if (link->can_state) {
    const std::uint32_t state = *link->can_state;
    const std::string detail = fmt::format(
        "{}, {} bit/s, error counters tx {} rx {}",
        state < kBusStates.size() ? kBusStates[state] : std::string_view("unknown"),
        link->bitrate.value_or(0), link->tx_errors.value_or(0), link->rx_errors.value_or(0));
    const std::string fix = fmt::format(
        "check the wiring, the two 120 Ω terminations and that every node runs at the same bit "
        "rate; after bus-off restart it: sudo ip link set {} down, then {}",
        iface, bring_up_command(iface, *link));
    if (state == CAN_STATE_ERROR_ACTIVE) {
      report.ok(bus, "bus state", detail);
    } else if (state == CAN_STATE_ERROR_WARNING) {
      report.warning(bus, "bus state", detail, fix);
    } else {
      report.problem(bus, "bus state", detail, fix);
    }
  }

  const fs::path statistics = fs::path("/sys/class/net") / iface / "statistics";
  std::vector<std::string> errors;
  for (const std::string_view counter : kErrorCounters) {
    const auto value = read_first_line(statistics / counter);
    if (value && *value != "0") errors.push_back(fmt::format("{} {}", counter, *value));
  }
  const std::string frames =
      fmt::format("{} frames received, {} sent",
                  read_first_line(statistics / "rx_packets").value_or("?"),
                  read_first_line(statistics / "tx_packets").value_or("?"));
  if (errors.empty()) {
    report.ok(bus, "statistics", frames + ", no errors");
  } else {
    report.warning(bus, "statistics", fmt::format("{}; {:?}", frames, errors),
                   "errors point at wiring, termination or a bit-rate mismatch; drops at a "
                   "reader too slow for the bus");
  }
  return true;
}

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

void check_motor(Report& report, CanTransport& transport, const controller::NeckJoint& joint) {
  const MotorRow row{report, joint};
  const damiao::Damiao motor{controller::Timing{}.neck_reply, joint.limits, joint.can_id,
                             joint.master_id};
  if (const auto state = motor.request_feedback(transport); state) {
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
    const auto value = motor.read_register(transport, reg.id);
    if (value) {
      reg.judge(row, *value);
      continue;
    }
    const auto* cause = std::get_if<CanError>(&value.error().cause());
    const bool silent = cause != nullptr && cause->kind() == CanError::Kind::Timeout;
    row.problem(silent ? "registers" : damiao::lookup(reg.id)->name,
                "read failed: " + value.error().text(),
                fmt::format("check motor {}'s power and CAN wiring", joint.name));
    if (silent) return;  // every further read would wait out its time-out the same way
  }
}

}  // namespace

void check_can(Report& report, const std::string& interface_name) {
  if (!check_interface(report, interface_name)) return;
  auto transport = can_motor::SocketCanTransport::open(interface_name);
  if (!transport) {
    report.problem(std::string(kBus), "socket", "cannot open: " + transport.error().text(),
                   "run the doctor as a user that may open CAN sockets");
    return;
  }
  for (const controller::NeckJoint& joint : controller::kNeckJoints) {
    check_motor(report, *transport, joint);
  }
}

}  // namespace vorlix::doctor
