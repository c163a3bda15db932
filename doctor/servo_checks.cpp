// The seven servos and the id scan: pings and register reads, nothing else.
#include "doctor/servo_checks.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <vorlix/controller.hpp>

#include "common/format.hpp"
#include "servo_bus/feetech_protocol/protocol.hpp"
#include "servo_bus/servo/feetech/registers.hpp"

namespace vorlix::doctor {
namespace {

namespace feetech = servo_bus::feetech;
using servo_bus::ByteStream;
using servo_bus::FeetechProtocolHandler;

// The control loop waits for this much before it starts; below it the servos misbehave.
constexpr unsigned kMinimumSupply = 110;  // tenths of a volt
// These servos cut their torque at 70 °C by default; warn on the way there.
constexpr unsigned kHotTemperature = 60;
constexpr unsigned kOverheatTemperature = 70;

// The status register's fault bits (the same bits as a reply's error byte).
struct Fault {
  std::uint8_t bit;
  std::string_view name;
  std::string_view fix;
};
constexpr Fault kFaults[] = {
    {0x20, "overload latch",
     "remove what blocks the joint, then reboot the servo or power-cycle it"},
    {0x04, "overheating", "let it cool down and lighten its load"},
    {0x08, "overcurrent", "check the joint moves freely and the servo's cable is not shorted"},
    {0x01, "voltage out of range", "check the 12 V supply"},
    {0x02, "position sensor fault", "replace the servo"},
};

// One row about one servo.
struct Row {
  Report& report;
  const std::string& subject;
  std::string_view name;
  std::uint8_t id;

  void ok(std::string detail) const { report.ok(subject, std::string(name), std::move(detail)); }
  void warning(std::string detail, std::string fix) const {
    report.warning(subject, std::string(name), std::move(detail), std::move(fix));
  }
  void problem(std::string detail, std::string fix) const {
    report.problem(subject, std::string(name), std::move(detail), std::move(fix));
  }
};

void judge_voltage(const Row& row, std::uint16_t tenths) {
  const std::string volts = fmt::format("{:.1} V", tenths / 10.0);
  if (tenths >= kMinimumSupply) return row.ok(volts);
  row.problem(fmt::format("{}, below the {:.1} V the controller needs", volts,
                          kMinimumSupply / 10.0),
              "switch on the 12 V supply, or check that it and its cable hold 12 V under load");
}

void judge_temperature(const Row& row, std::uint16_t degrees) {
  const std::string detail = fmt::format("{} °C", degrees);
  const std::string fix =
      fmt::format("let servo {} cool down and lighten its load; it cuts its torque at {} °C",
                  row.id, kOverheatTemperature);
  if (degrees >= kOverheatTemperature) return row.problem(detail + ", overheated", fix);
  if (degrees >= kHotTemperature) return row.warning(detail + ", running hot", fix);
  row.ok(detail);
}

void judge_status(const Row& row, std::uint16_t status) {
  std::string faults;
  std::string fix;
  for (const Fault& fault : kFaults) {
    if ((status & fault.bit) == 0) continue;
    faults += (faults.empty() ? "" : ", ") + std::string(fault.name);
    fix += (fix.empty() ? "" : "; ") + std::string(fault.fix);
  }
  if (faults.empty()) return row.ok("no fault");
  row.problem(fmt::format("{} (status byte {})", faults, status), fix);
}

void judge_torque(const Row& row, std::uint16_t enabled) { row.ok(enabled != 0 ? "on" : "off"); }

void judge_lock(const Row& row, std::uint16_t locked) {
  if (locked != 0) return row.ok("locked");
  row.warning("unlocked: an arm calibration may have been cut short",
              "reboot or power-cycle the servo, then check its zero (set_arm_home)");
}

void judge_offset(const Row& row, std::uint16_t raw) {
  row.ok(fmt::format("{:+.4} rad (raw {})", feetech::offset_to_rad(raw), raw));
}

void judge_position(const Row& row, std::uint16_t word) {
  const auto raw = static_cast<std::int16_t>(word);
  row.ok(fmt::format("{:+.4} rad (raw {})", feetech::present_position_to_rad(raw), raw));
}

struct ServoRegister {
  std::string_view name;
  std::uint8_t address;
  std::uint8_t width;  // 1 or 2 bytes, little-endian
  void (*judge)(const Row&, std::uint16_t);
};
// A small read each, so that one register a servo refuses does not hide the others.
constexpr ServoRegister kServoRegisters[] = {
    {"voltage", feetech::kPresentVoltageAddress, 1, judge_voltage},
    {"temperature", feetech::kPresentTemperatureAddress, 1, judge_temperature},
    {"status", feetech::kStatusAddress, 1, judge_status},
    {"torque", feetech::kTorqueEnableAddress, 1, judge_torque},
    {"eeprom lock", feetech::kEepromLockAddress, 1, judge_lock},
    {"offset", feetech::kPositionOffsetAddress, 2, judge_offset},
    {"position", feetech::kPresentPositionAddress, 2, judge_position},
};

std::string servo_subject(std::size_t index) {
  return fmt::format("servo {} {}", controller::kServoIds[index], controller::kMotorNames[index]);
}

void check_servo(Report& report, const FeetechProtocolHandler& handler, ByteStream& line,
                 std::size_t index) {
  const std::string subject = servo_subject(index);
  const std::uint8_t id = controller::kServoIds[index];
  const auto answered = handler.ping(line, id);
  if (!answered) {
    report.problem(subject, "ping", "cannot send: " + answered.error().text(),
                   "check the adapter is still plugged in, then run the doctor again");
    return;
  }
  if (!*answered) {
    report.problem(subject, "ping", "no answer",
                   fmt::format("check servo {}'s power and cable, and that its id is {} "
                               "(--scan lists the ids that answer)",
                               id, id));
    return;
  }
  report.ok(subject, "ping", "answers");
  for (const ServoRegister& reg : kServoRegisters) {
    const Row row{report, subject, reg.name, id};
    const auto value = handler.read(line, id, reg.address, reg.width);
    if (!value) {
      row.problem("read failed: " + value.error().text(),
                  "check the line's cable and connectors, then run the doctor again");
    } else if (value->size() != reg.width) {
      row.problem(fmt::format("answered {} bytes instead of {}", value->size(), reg.width),
                  "another device shares the id: give each servo its own id");
    } else {
      const auto& bytes = *value;
      reg.judge(row, static_cast<std::uint16_t>(bytes[0] | (reg.width == 2 ? bytes[1] << 8 : 0)));
    }
  }
}

}  // namespace

void check_servos(Report& report, ByteStream& line) {
  const FeetechProtocolHandler handler;
  for (std::size_t i = 0; i < controller::kServoIds.size(); ++i) {
    check_servo(report, handler, line, i);
  }
}

void scan_servo_ids(Report& report, ByteStream& line,
                    const std::function<void(unsigned id)>& progress) {
  const FeetechProtocolHandler handler;
  std::vector<unsigned> others;
  for (unsigned id = 0; id <= kLastServoId; ++id) {
    progress(id);
    if (std::ranges::find(controller::kServoIds, id) != controller::kServoIds.end()) continue;
    const auto answered = handler.ping(line, static_cast<std::uint8_t>(id));
    if (answered && *answered) others.push_back(id);
  }
  if (others.empty()) {
    report.ok(std::string(kServoLine), "scan", "no id besides 1-7 answers");
  } else {
    report.warning(std::string(kServoLine), "scan",
                   fmt::format("ids {:?} answer but are no servo of the torso", others),
                   "a servo with a wrong id: give it its torso id (1-7) or unplug it");
  }
}

}  // namespace vorlix::doctor
