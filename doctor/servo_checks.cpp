// The seven servos and the id scan: pings and register reads, nothing else.
#include "doctor/servo_checks.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <vorlix/torso.hpp>

#include "common/format.hpp"
#include "doctor/servo_requests.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/servo/feetech/registers.hpp"

namespace vorlix::doctor {
namespace {

namespace feetech = servo_bus::feetech;
using servo_bus::ByteStream;
using servo_bus::Instruction;
using servo_bus::FramedInstruction;
using servo_bus::Register;
using torso::kMinimumSupply;

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

void judge_voltage(const Row& row, const Register&, std::uint16_t tenths) {
  const std::string volts = fmt::format("{:.1} V", tenths / 10.0);
  if (tenths >= kMinimumSupply) return row.ok(volts);
  row.problem(fmt::format("{}, below the {:.1} V the controller needs", volts,
                          kMinimumSupply / 10.0),
              "switch on the 12 V supply, or check that it and its cable hold 12 V under load");
}

void judge_temperature(const Row& row, const Register&, std::uint16_t degrees) {
  const std::string detail = fmt::format("{} °C", degrees);
  const std::string fix =
      fmt::format("let servo {} cool down and lighten its load; it cuts its torque at {} °C",
                  row.id, kOverheatTemperature);
  if (degrees >= kOverheatTemperature) return row.problem(detail + ", overheated", fix);
  if (degrees >= kHotTemperature) return row.warning(detail + ", running hot", fix);
  row.ok(detail);
}

void judge_status(const Row& row, const Register&, std::uint16_t status) {
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

void judge_torque(const Row& row, const Register&, std::uint16_t enabled) {
  row.ok(enabled != 0 ? "on" : "off");
}

void judge_lock(const Row& row, const Register&, std::uint16_t locked) {
  if (locked != 0) return row.ok("locked");
  row.warning("unlocked: an arm calibration may have been cut short",
              "reboot or power-cycle the servo, then check its zero (set_arm_home)");
}

void judge_offset(const Row& row, const Register& reg, std::uint16_t raw) {
  row.ok(fmt::format("{:+.4} rad (raw {})", feetech::word_to_rad(reg, raw), raw));
}

void judge_position(const Row& row, const Register& reg, std::uint16_t word) {
  const auto raw = static_cast<std::int16_t>(word);
  row.ok(fmt::format("{:+.4} rad (raw {})", feetech::word_to_rad(reg, word), raw));
}

struct ServoRegister {
  std::string_view name;
  std::optional<Register> reg;  // none: the model has no such register, and it is not asked
  void (*judge)(const Row&, const Register&, std::uint16_t);
};

// A small read each, so that one register a servo refuses does not hide the others.
std::array<ServoRegister, 7> servo_registers(const servo_bus::ServoModel& model) {
  return {{
      {"voltage", model.present_voltage, judge_voltage},
      {"temperature", model.present_temperature, judge_temperature},
      {"status", model.status, judge_status},
      {"torque", model.torque_enable, judge_torque},
      {"eeprom lock", model.eeprom_lock, judge_lock},
      {"offset", model.position_offset, judge_offset},
      {"position", model.present_position, judge_position},
  }};
}

std::string servo_subject(const torso::Servo& servo) {
  return fmt::format("servo {} {}", servo.id, servo.name);
}

// The request's data, none when the servo did not answer it, or why nothing could be asked.
servo_bus::ServoResult<std::optional<std::vector<std::uint8_t>>> ask_for(
    ByteStream& line, const servo_bus::BuiltInstruction& request, std::size_t data_bytes,
    std::chrono::nanoseconds reply_wait, int tries) {
  if (!request) return std::unexpected(request.error());
  return ask(line, *request, data_bytes, reply_wait, tries);
}

auto ping(ByteStream& line, std::uint8_t id, std::chrono::nanoseconds reply_wait, int tries) {
  return ask_for(line, FramedInstruction::frame(id, Instruction::Ping, {}), 0,
                 reply_wait, tries);
}

void check_servo(Report& report, ByteStream& line, const torso::Servo& servo,
                 std::chrono::nanoseconds reply_wait) {
  const std::string subject = servo_subject(servo);
  const std::uint8_t id = servo.id;
  const auto answered = ping(line, id, reply_wait, kServoRequestTries);
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
  // Each read asks for more bytes than the one before, and only the first are the register.
  std::uint8_t extra = 0;
  for (const ServoRegister& check : servo_registers(*servo.model)) {
    if (!check.reg) continue;
    const Register& reg = *check.reg;
    const Row row{report, subject, check.name, id};
    const auto count = static_cast<std::uint8_t>(reg.size + extra++);
    const auto value = ask_for(line, servo_bus::read_packet(id, reg.address, count), count,
                               reply_wait, kServoRequestTries);
    if (!value) {
      row.problem("read failed: " + value.error().text(),
                  "check the line's cable and connectors, then run the doctor again");
    } else if (!*value) {
      row.problem(fmt::format("no answer to {} tries", kServoRequestTries),
                  "check the line's cable and connectors, then run the doctor again");
    } else {
      const auto& bytes = **value;
      check.judge(row, reg,
                  static_cast<std::uint16_t>(bytes[0] | (reg.size == 2 ? bytes[1] << 8 : 0)));
    }
  }
}

}  // namespace

void check_servos(Report& report, ByteStream& line, std::chrono::nanoseconds reply_wait) {
  for (const torso::Servo& servo : torso::kServos) check_servo(report, line, servo, reply_wait);
}

void scan_servo_ids(Report& report, ByteStream& line,
                    const std::function<void(unsigned id)>& progress,
                    std::chrono::nanoseconds reply_wait) {
  std::vector<unsigned> others;
  for (unsigned id = 0; id <= kLastServoId; ++id) {
    progress(id);
    if (std::ranges::find(torso::kServoIds, id) != torso::kServoIds.end()) continue;
    // One try each: the scan looks for strangers, and 246 silent ids add up.
    const auto answered = ping(line, static_cast<std::uint8_t>(id), reply_wait, 1);
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
