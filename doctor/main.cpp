// vorlix-doctor: checks the torso's servo line and neck CAN bus and says what to fix.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <vorlix/byte_stream.hpp>

#include "doctor/device_checks.hpp"
#include "doctor/report.hpp"

namespace {

constexpr std::string_view kUsage =
    "usage: vorlix-doctor [--serial PATH] [--can IFACE] [--scan] [--reply-wait MS] [--json]\n";

constexpr std::string_view kHelp =
    "\n"
    "Checks the Vorlix torso's wiring and motors and says what to fix: the servo line's\n"
    "device, permissions, holder and USB adapter, each servo's supply, temperature, faults,\n"
    "torque, EEPROM lock, offset and position; the CAN interface's state and counters, and\n"
    "each neck motor's answer, control mode, mapping ranges, feedback id and time-out.\n"
    "\n"
    "Read-only: it sends only pings, register reads and feedback requests; it never writes\n"
    "a register, switches torque, enables a motor or reboots anything.\n"
    "\n"
    "  --serial PATH    the servo line, e.g. /dev/ttyUSB0\n"
    "  --can IFACE      the neck's CAN interface, e.g. can0\n"
    "  --scan           also ping servo ids 0-253 to find servos with unexpected ids\n"
    "  --reply-wait MS  wait this long for each servo's reply (default 10, the controller's);\n"
    "                   a request unanswered is sent twice more, waiting 3 and 9 times as long\n"
    "  --json           print the findings as one JSON object\n"
    "  -h, --help       print this help\n"
    "\n"
    "Exit status: 0 when nothing is a problem, 1 when something is, 2 for bad usage.\n";

struct Options {
  std::optional<std::string> serial;
  std::optional<std::string> can;
  bool scan = false;
  std::chrono::milliseconds reply_wait = vorlix::servo_bus::kSerialWaitTimeout;
  bool json = false;
  bool help = false;
};

int usage_error(std::string_view message) {
  std::fprintf(stderr, "%.*svorlix-doctor: %.*s\n", static_cast<int>(kUsage.size()),
               kUsage.data(), static_cast<int>(message.size()), message.data());
  return 2;
}

// A whole number of milliseconds from 1 to 10000 into `into`, or the message of a usage error.
std::optional<std::string> parse_reply_wait(const std::string& text,
                                            std::chrono::milliseconds& into) {
  unsigned ms = 0;
  const auto end = text.data() + text.size();
  const auto [stop, failure] = std::from_chars(text.data(), end, ms);
  if (failure != std::errc() || stop != end || ms < 1 || ms > 10000) {
    return "--reply-wait takes whole milliseconds from 1 to 10000, got " + text;
  }
  into = std::chrono::milliseconds(ms);
  return std::nullopt;
}

// The options, or the message of a usage error.
std::variant<Options, std::string> parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto value_of = [&](std::string_view flag,
                              std::optional<std::string>& into) -> std::optional<std::string> {
      if (arg == flag) {
        if (i + 1 >= argc) return std::string(flag) + " needs a value";
        into = argv[++i];
      } else {
        into = std::string(arg.substr(flag.size() + 1));
      }
      return into->empty() ? std::optional<std::string>(std::string(flag) + " needs a value")
                           : std::nullopt;
    };
    std::optional<std::string> error;
    if (arg == "--serial" || arg.starts_with("--serial=")) {
      error = value_of("--serial", options.serial);
    } else if (arg == "--can" || arg.starts_with("--can=")) {
      error = value_of("--can", options.can);
    } else if (arg == "--scan") {
      options.scan = true;
    } else if (arg == "--reply-wait" || arg.starts_with("--reply-wait=")) {
      std::optional<std::string> text;
      error = value_of("--reply-wait", text);
      if (!error) error = parse_reply_wait(*text, options.reply_wait);
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else {
      error = "unknown argument: " + std::string(arg);
    }
    if (error) return *error;
  }
  if (options.help) return options;
  if (!options.serial && !options.can) {
    return std::string("give --serial PATH, --can IFACE or both");
  }
  if (options.scan && !options.serial) return std::string("--scan needs --serial");
  return options;
}

}  // namespace

int main(int argc, char** argv) try {
  const auto parsed = parse(argc, argv);
  if (const auto* message = std::get_if<std::string>(&parsed)) return usage_error(*message);
  const Options& options = std::get<Options>(parsed);
  if (options.help) {
    std::fputs((std::string(kUsage) + std::string(kHelp)).c_str(), stdout);
    return 0;
  }

  vorlix::doctor::Report report;
  if (options.serial) {
    vorlix::doctor::check_serial(report, *options.serial, options.scan, options.reply_wait);
  }
  if (options.can) vorlix::doctor::check_can(report, *options.can);
  const std::string out = options.json ? vorlix::doctor::render_json(report)
                                       : vorlix::doctor::render_table(report);
  std::fputs(out.c_str(), stdout);
  return report.has_problem() ? 1 : 0;
} catch (const std::exception& failure) {
  // A broken invariant in the doctor or the core: say so rather than abort.
  std::fprintf(stderr, "vorlix-doctor: internal error: %s\n", failure.what());
  return 1;
}
