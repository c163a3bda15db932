// Reboots every servo and waits until each answers a ping again.
#include <algorithm>

#include "common/format.hpp"
#include "common/interruption.hpp"
#include "common/log.hpp"
#include "src/controller/controller_state.hpp"

namespace vorlix::controller {

ControllerResult<void> VorlixMotorController::reboot(std::chrono::nanoseconds timeout,
                                                     std::stop_token stop) {
  if (!state_->servo_line) return {};
  servo_bus::ByteStream& port = *state_->servo_line;
  const std::vector<std::uint8_t> ids(torso::kServoIds.begin(), torso::kServoIds.end());
  const auto name_of = [](std::uint8_t id) {
    return std::ranges::find(torso::kServos, id, &torso::Servo::id)->name;
  };

  for (const std::uint8_t id : ids) {
    log::warn(log::kControllerTarget, fmt::format("Rebooting motor {} (id={})", name_of(id), id));
    if (auto sent = state_->servo_handler.reboot(port, id); !sent) {
      return std::unexpected(ControllerError(sent.error()));
    }
  }

  std::vector<std::uint8_t> pending = ids;
  const auto start = std::chrono::steady_clock::now();
  while (!pending.empty()) {
    if (std::chrono::steady_clock::now() - start >= timeout) {
      std::vector<std::string_view> pending_names;
      for (const std::uint8_t id : pending) {
        log::warn(log::kControllerTarget,
                  fmt::format("Motor {} (id={}) did not respond after reboot within timeout",
                              name_of(id), id));
        pending_names.push_back(name_of(id));
      }
      return std::unexpected(ControllerError(ErrorKind::TimedOut,
          fmt::format("Some motors did not respond after reboot ({:?} - ids: {:?})",
                      pending_names, pending)));
    }
    if (interruption::pause_or_stop(stop, state_->timing.reboot_ping_pause)) {
      return std::unexpected(ControllerError::interrupted("reboot"));
    }
    std::erase_if(pending, [&](std::uint8_t id) {
      const auto answered = state_->servo_handler.ping(port, id);
      return answered && *answered;
    });
  }
  return {};
}

}  // namespace vorlix::controller
