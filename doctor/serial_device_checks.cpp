// The servo line's device and adapter, as the operating system shows them; then its servos.
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

#include <vorlix/byte_stream.hpp>

#include "common/format.hpp"
#include "doctor/device_checks.hpp"
#include "doctor/servo_checks.hpp"
#include "doctor/system.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace vorlix::doctor {
namespace {

namespace fs = std::filesystem;
using servo_bus::SerialPort;

// Pseudo-terminal slaves (/dev/pts/N) use these majors: a virtual torso, not an adapter.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;
// The line's wait for a reply: a latency timer at least this long delays every reply past it.
constexpr auto kReplyWaitMs = static_cast<unsigned>(servo_bus::kSerialWaitTimeout.count());

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
    report.problem(std::string(kServoLine), name,
                   fmt::format("permission denied: {} belongs to group {}", path.string(),
                               group_name),
                   fmt::format("add your user to the {} group (sudo usermod -aG {} $USER), then "
                               "log in again",
                               group_name, group_name));
    return;
  }
  if (held_elsewhere(path)) {
    const auto holders = file_holders(path);
    report.problem(std::string(kServoLine), name,
                   holders.empty() ? "busy: " + error
                                   : fmt::format("busy: {}; held by {:?}", error, holders),
                   "stop that process (or close its controller), then run the doctor again");
    return;
  }
  report.problem(std::string(kServoLine), name, error,
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
    report.ok(std::string(kServoLine), "driver", "pseudo-terminal (a virtual torso, no adapter)");
    return;
  }
  std::error_code error;
  const fs::path driver = fs::read_symlink(sysfs_device(device) / "driver", error);
  report.ok(std::string(kServoLine), "driver",
            error ? "unknown (no driver in sysfs)" : driver.filename().string());
}

// FTDI adapters hold every reply for their latency timer (16 ms unless lowered); the core
// asks for low latency when it opens the port, which sets it to 1 ms.
void check_latency_timer(Report& report, const struct stat& device) {
  const fs::path timer = sysfs_device(device) / "latency_timer";
  const auto text = read_first_line(timer);
  if (!text) {
    report.ok(std::string(kServoLine), "latency timer", "none (not an FTDI adapter)");
    return;
  }
  unsigned ms = 0;
  if (std::from_chars(text->data(), text->data() + text->size(), ms).ec != std::errc()) {
    report.warning(std::string(kServoLine), "latency timer", "unreadable: " + *text,
                   "check the adapter's driver");
    return;
  }
  const std::string detail = fmt::format("{} ms", ms);
  const std::string fix = fmt::format(
      "set the latency timer to 1 ms: echo 1 | sudo tee {} (a udev rule keeps it)",
      timer.string());
  if (ms <= 1) {
    report.ok(std::string(kServoLine), "latency timer", detail);
  } else if (ms < kReplyWaitMs) {
    report.warning(std::string(kServoLine), "latency timer", detail + ": every reply waits that long",
                   fix);
  } else {
    report.problem(std::string(kServoLine), "latency timer",
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
  Check check{std::string(kServoLine), "low latency", Verdict::Ok, {}, {}};
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
  const std::string line(kServoLine);
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
    check_servos(report, *port, reply_wait);
    if (scan_ids) {
      scan_servo_ids(report, *port, [](unsigned id) {
        if (id % 16 == 0 || id == kLastServoId) {
          std::fprintf(stderr, "\rscanning servo ids 0-%u: %u", kLastServoId, id);
          std::fflush(stderr);
        }
      }, reply_wait);
      std::fprintf(stderr, "\n");
    }
  }
  check_low_latency(report, path, adapter_rows_end);
}

}  // namespace vorlix::doctor
