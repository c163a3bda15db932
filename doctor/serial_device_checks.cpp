// The servo line and its seven servos.
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>

#include "common/format.hpp"
#include "servo_bus/feetech_protocol/protocol.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "servo_bus/servo/feetech/registers.hpp"
#include "vorlix/controller.hpp"
#include "doctor/device_checks.hpp"
#include "doctor/system.hpp"

namespace vorlix::doctor {
namespace {

namespace fs = std::filesystem;
namespace feetech = servo_bus::feetech;
using servo_bus::FeetechProtocolHandler;
using servo_bus::SerialPort;

constexpr std::string_view kLine = "serial";
// Pseudo-terminal slaves (/dev/pts/N) use these majors: a virtual torso, not an adapter.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;
// The control loop waits for this much before it starts; below it the servos misbehave.
constexpr unsigned kMinimumSupply = 110;  // tenths of a volt
// These servos cut their torque at 70 °C by default; warn on the way there.
constexpr unsigned kHotTemperature = 60;
constexpr unsigned kOverheatTemperature = 70;
// The line's wait for a reply: a latency timer at least this long delays every reply past it.
constexpr unsigned kReplyWaitMs = 10;

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

void check_servo(Report& report, const FeetechProtocolHandler& handler, SerialPort& port,
                 std::size_t index) {
  const std::string subject = servo_subject(index);
  const std::uint8_t id = controller::kServoIds[index];
  const auto answered = handler.ping(port, id);
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
    const auto value = handler.read(port, id, reg.address, reg.width);
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

void scan(Report& report, const FeetechProtocolHandler& handler, SerialPort& port) {
  constexpr unsigned kLastId = 253;
  std::vector<unsigned> others;
  for (unsigned id = 0; id <= kLastId; ++id) {
    if (id % 16 == 0 || id == kLastId) {
      std::fprintf(stderr, "\rscanning servo ids 0-%u: %u", kLastId, id);
      std::fflush(stderr);
    }
    if (std::ranges::find(controller::kServoIds, id) != controller::kServoIds.end()) continue;
    const auto answered = handler.ping(port, static_cast<std::uint8_t>(id));
    if (answered && *answered) others.push_back(id);
  }
  std::fprintf(stderr, "\n");
  if (others.empty()) {
    report.ok(std::string(kLine), "scan", "no id besides 1-7 answers");
  } else {
    report.warning(std::string(kLine), "scan",
                   fmt::format("ids {:?} answer but are no servo of the torso", others),
                   "a servo with a wrong id: give it its torso id (1-7) or unplug it");
  }
}

// Whether another process holds the port: its exclusive mode refuses an open (EBUSY, for
// all but root), or its lock refuses ours.
bool held_elsewhere(const fs::path& path) {
  const FileDescriptor probe(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!probe.valid()) return errno == EBUSY;
  return ::flock(probe.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

// Why the port did not open, as precisely as the system lets us tell.
void diagnose_open_failure(Report& report, const fs::path& path, const struct stat& device,
                           const std::string& error) {
  const std::string name = "open";
  if (::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
    const group* owner = ::getgrgid(device.st_gid);
    const std::string group_name =
        owner != nullptr ? owner->gr_name : std::to_string(device.st_gid);
    report.problem(std::string(kLine), name,
                   fmt::format("permission denied: {} belongs to group {}", path.string(),
                               group_name),
                   fmt::format("add your user to the {} group (sudo usermod -aG {} $USER), then "
                               "log in again",
                               group_name, group_name));
    return;
  }
  if (held_elsewhere(path)) {
    const auto holders = file_holders(path);
    report.problem(std::string(kLine), name,
                   holders.empty() ? "busy: " + error
                                   : fmt::format("busy: {}; held by {:?}", error, holders),
                   "stop that process (or close its controller), then run the doctor again");
    return;
  }
  report.problem(std::string(kLine), name, error,
                 "check that the path is the servo line's serial adapter");
}

// The sysfs folder of the character device, where its driver and settings show.
fs::path sysfs_device(const struct stat& device) {
  return fs::path("/sys/dev/char") /
         fmt::format("{}:{}", major(device.st_rdev), minor(device.st_rdev)) / "device";
}

bool is_pty(const struct stat& device) {
  const unsigned device_major = major(device.st_rdev);
  return device_major >= kFirstPtyMajor && device_major <= kLastPtyMajor;
}

void check_driver(Report& report, const struct stat& device) {
  if (is_pty(device)) {
    report.ok(std::string(kLine), "driver", "pseudo-terminal (a virtual torso, no adapter)");
    return;
  }
  std::error_code error;
  const fs::path driver = fs::read_symlink(sysfs_device(device) / "driver", error);
  report.ok(std::string(kLine), "driver",
            error ? "unknown (no driver in sysfs)" : driver.filename().string());
}

// FTDI adapters hold every reply for their latency timer (16 ms unless lowered); the core
// asks for low latency when it opens the port, which sets it to 1 ms.
void check_latency_timer(Report& report, const struct stat& device) {
  const fs::path timer = sysfs_device(device) / "latency_timer";
  const auto text = read_first_line(timer);
  if (!text) {
    report.ok(std::string(kLine), "latency timer", "none (not an FTDI adapter)");
    return;
  }
  unsigned ms = 0;
  if (std::from_chars(text->data(), text->data() + text->size(), ms).ec != std::errc()) {
    report.warning(std::string(kLine), "latency timer", "unreadable: " + *text,
                   "check the adapter's driver");
    return;
  }
  const std::string detail = fmt::format("{} ms", ms);
  const std::string fix = fmt::format(
      "set the latency timer to 1 ms: echo 1 | sudo tee {} (a udev rule keeps it)",
      timer.string());
  if (ms <= 1) {
    report.ok(std::string(kLine), "latency timer", detail);
  } else if (ms < kReplyWaitMs) {
    report.warning(std::string(kLine), "latency timer", detail + ": every reply waits that long",
                   fix);
  } else {
    report.problem(std::string(kLine), "latency timer",
                   fmt::format("{}: replies arrive after the {} ms the controller waits", detail,
                               kReplyWaitMs),
                   fix);
  }
}

// Read back from the driver once the port is closed again (an exclusive open shuts out a
// second descriptor); the row goes with the adapter's rows, at `position`.
void check_low_latency(Report& report, const fs::path& path, std::size_t position) {
  const FileDescriptor probe(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  serial_struct serial{};
  Check check{std::string(kLine), "low latency", Verdict::Ok, {}, {}};
  if (!probe.valid() || ::ioctl(probe.get(), TIOCGSERIAL, &serial) != 0) {
    check.detail = "the device has no such setting";
  } else if ((serial.flags & static_cast<int>(ASYNC_LOW_LATENCY)) != 0) {
    check.detail = "requested and kept by the driver";
  } else {
    check.verdict = Verdict::Warning;
    check.detail = "the driver did not keep the request";
    check.fix = "replies may wait for the adapter's buffer; use an FTDI adapter with a 1 ms "
                "latency timer";
  }
  report.insert(position, std::move(check));
}

}  // namespace

void check_serial(Report& report, const std::string& path_text, bool scan_ids,
                  std::chrono::milliseconds reply_wait) {
  const fs::path path(path_text);
  const std::string line(kLine);
  struct stat device {};
  if (::stat(path.c_str(), &device) != 0) {
    const int error = errno;
    report.problem(line, "path", fmt::format("{}: {}", path_text, system_error_text(error)),
                   error == ENOENT ? "plug in the adapter and give its path; ls /dev/serial/by-id/ "
                                     "lists the serial adapters"
                                   : "give a path you may look at");
    return;
  }
  std::error_code ignored;
  const fs::path resolved = fs::canonical(path, ignored);
  report.ok(line, "path", resolved.empty() || resolved == path
                              ? path_text
                              : fmt::format("{} -> {}", path_text, resolved.string()));
  if (!S_ISCHR(device.st_mode)) {
    report.problem(line, "terminal", "not a character device",
                   "give the serial adapter's device, e.g. /dev/ttyUSB0");
    return;
  }
  report.ok(line, "terminal",
            fmt::format("character device {}:{}", major(device.st_rdev), minor(device.st_rdev)));
  check_driver(report, device);

  std::size_t adapter_rows_end = 0;
  {
    auto port = SerialPort::open(path_text, reply_wait);
    if (!port) {
      diagnose_open_failure(report, path, device, port.error().text);
      return;
    }
    report.ok(line, "open", "exclusive, raw, 1,000,000 baud");
    check_latency_timer(report, device);
    adapter_rows_end = report.checks().size();
    const FeetechProtocolHandler handler;
    for (std::size_t i = 0; i < controller::kServoIds.size(); ++i) {
      check_servo(report, handler, *port, i);
    }
    if (scan_ids) scan(report, handler, *port);
  }
  check_low_latency(report, path, adapter_rows_end);
}

}  // namespace vorlix::doctor
