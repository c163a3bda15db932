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
  std::array<double, 7> servos{};
  if (controller.has_servo_bus()) {
    auto read = with_retry(allowed_retries, [&] { return controller.read_all_positions(); });
    if (!read) return std::unexpected(MotorError::Communication{read.error()});
    servos = *read;
  }
  const auto neck = controller.read_neck_positions();
  if (!neck) return std::unexpected(MotorError::Communication{neck.error()});
  return VorlixTorsoPosition{{servos[0], servos[1]},
                             {servos[2], servos[3]},
                             {servos[4], servos[5], servos[6]},
                             *neck,
                             wall_clock_seconds()};
}

}  // namespace vorlix::control_loop
