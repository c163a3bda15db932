// Reboots every servo and waits until each answers a ping again.
#include <thread>

#include "common/format.hpp"
#include "common/log.hpp"
#include "src/controller/controller.hpp"

namespace vorlix::controller {

namespace {
constexpr std::chrono::milliseconds kPingPause{100};
}

ControllerResult<void> VorlixMotorController::reboot(std::chrono::nanoseconds timeout) {
  if (!serial_port_) return {};
  servo_bus::SerialPort& port = *serial_port_;
  const std::vector<std::uint8_t> ids(kServoIds.begin(), kServoIds.end());
  std::unordered_map<std::uint8_t, std::string> names;
  for (const auto& [name, id] : get_motor_name_id()) names.emplace(id, name);

  for (const std::uint8_t id : ids) {
    log::warn(log::kControllerTarget, fmt::format("Rebooting motor {} (id={})", names[id], id));
    if (auto sent = servo_handler_.reboot(port, id); !sent) {
      return std::unexpected(ControllerError(sent.error()));
    }
  }

  std::vector<std::uint8_t> pending = ids;
  const auto start = std::chrono::steady_clock::now();
  while (!pending.empty()) {
    if (std::chrono::steady_clock::now() - start >= timeout) {
      std::vector<std::string> pending_names;
      for (const std::uint8_t id : pending) {
        log::warn(log::kControllerTarget,
                  fmt::format("Motor {} (id={}) did not respond after reboot within timeout",
                              names[id], id));
        pending_names.push_back(names[id]);
      }
      return std::unexpected(ControllerError::message(
          fmt::format("Some motors did not respond after reboot ({:?} - ids: {:?})",
                      pending_names, pending)));
    }
    std::this_thread::sleep_for(kPingPause);
    std::erase_if(pending, [&](std::uint8_t id) {
      const auto answered = servo_handler_.ping(port, id);
      return answered && *answered;
    });
  }
  return {};
}

}  // namespace vorlix::controller
