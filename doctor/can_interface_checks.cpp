// The neck's CAN interface, as the operating system shows it; then its motors.
#include <linux/can/netlink.h>
#include <net/if.h>
#include <net/if_arp.h>

#include <array>
#include <filesystem>
#include <string_view>

#include "can_motor/transport/socketcan_backend.hpp"
#include "common/format.hpp"
#include "doctor/device_checks.hpp"
#include "doctor/neck_checks.hpp"
#include "doctor/system.hpp"

namespace vorlix::doctor {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBus = "can";

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

}  // namespace

void check_can(Report& report, const std::string& interface_name) {
  if (!check_interface(report, interface_name)) return;
  auto transport = can_motor::SocketCanTransport::open(interface_name);
  if (!transport) {
    report.problem(std::string(kBus), "socket", "cannot open: " + transport.error().text(),
                   "run the doctor as a user that may open CAN sockets");
    return;
  }
  check_neck_motors(report, *transport);
}

}  // namespace vorlix::doctor
