#include "src/control_loop/reading.hpp"

#include <algorithm>
#include <chrono>

#include "src/control_loop/retry.hpp"

namespace vorlix::control_loop {

double wall_clock_seconds() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::max(0.0, std::chrono::duration<double>(since_epoch).count());
}

MotorResult<VorlixTorsoPosition> read_pos(controller::VorlixMotorController& controller,
                                          std::uint64_t allowed_retries) {
  // The two buses are separate wires: the neck's replies queue in the socket while the servo
  // line is read, so a reading lasts about as long as the slower bus rather than both.
  const auto neck_deadline = controller.request_neck_feedback();
  std::array<double, 7> servos{};
  if (controller.has_servo_bus()) {
    auto read = with_retry(allowed_retries, controller.timing().retry_pause,
                           [&] { return controller.read_all_positions(); });
    if (!read) {
      // The neck's replies are still collected: a line that fails at once (hung up) would
      // otherwise have ticks send requests faster than the motors answer, and a flooded
      // motor drops the commands between them.
      if (neck_deadline) (void)controller.collect_neck_feedback(*neck_deadline);
      return std::unexpected(MotorError::Communication{read.error()});
    }
    servos = *read;
  }
  if (!neck_deadline) return std::unexpected(MotorError::Communication{neck_deadline.error()});
  const auto neck = controller.collect_neck_feedback(*neck_deadline);
  if (!neck) return std::unexpected(MotorError::Communication{neck.error()});
  return VorlixTorsoPosition{{servos[0], servos[1]},
                             {servos[2], servos[3]},
                             {servos[4], servos[5], servos[6]},
                             neck->position,
                             wall_clock_seconds(),
                             neck->velocity,
                             neck->torque,
                             std::chrono::steady_clock::now()};
}

}  // namespace vorlix::control_loop
