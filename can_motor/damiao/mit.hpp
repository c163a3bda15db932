// The MIT impedance-mode codec: set-points to 8-byte payloads and state replies back. Pure.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vorlix::can_motor::damiao {

struct MitLimits {
  float p_max;
  float v_max;
  float kp_max;
  float kd_max;
  float t_max;
};

struct MitCommand {
  float position;
  float velocity;
  float kp;
  float kd;
  float torque;

  bool operator==(const MitCommand&) const = default;
};

struct MotorState {
  float position;
  float velocity;
  float torque;
  std::uint8_t motor_id;
  std::uint8_t status;
  std::uint8_t driver_temperature;
  std::uint8_t rotor_temperature;
};

using Payload = std::array<std::uint8_t, 8>;

Payload encode(const MitLimits& limits, const MitCommand& command);
// Only the first 8 bytes are read; the driver rejects shorter replies before calling this.
MotorState decode_state(const MitLimits& limits, std::span<const std::uint8_t, 8> payload);

}  // namespace vorlix::can_motor::damiao
