#include "can_motor/damiao/mit.hpp"

#include <algorithm>

#include "can_motor/damiao/float_to_unsigned.hpp"

namespace vorlix::can_motor::damiao {
namespace {

// Single precision throughout, multiplying before dividing and doubling a range as L + L:
// the wire bytes depend on the exact rounding.
float twice(float range) { return range + range; }

// std::clamp lets NaN through; float_to_unsigned then makes it 0.
std::uint32_t symmetric_field(float value, float range, float full_scale, std::uint32_t mask) {
  const float clamped = std::clamp(value, -range, range);
  return float_to_unsigned((clamped + range) * full_scale / twice(range)) & mask;
}

std::uint32_t gain_field(float value, float max) {
  return float_to_unsigned(std::clamp(value, 0.0f, max) * 4095.0f / max) & 0xFFF;
}

float from_symmetric_field(std::uint32_t field, float range, float full_scale) {
  return twice(range) * static_cast<float>(field) / full_scale - range;
}

std::uint8_t byte(std::uint32_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

}  // namespace

Payload encode(const MitLimits& limits, const MitCommand& command) {
  const std::uint32_t p = symmetric_field(command.position, limits.p_max, 65535.0f, 0xFFFF);
  const std::uint32_t v = symmetric_field(command.velocity, limits.v_max, 4095.0f, 0xFFF);
  const std::uint32_t kp = gain_field(command.kp, limits.kp_max);
  const std::uint32_t kd = gain_field(command.kd, limits.kd_max);
  const std::uint32_t t = symmetric_field(command.torque, limits.t_max, 4095.0f, 0xFFF);
  return {byte(p >> 8), byte(p),      byte(v >> 4),          byte(v << 4 | kp >> 8),
          byte(kp),     byte(kd >> 4), byte(kd << 4 | t >> 8), byte(t)};
}

MotorState decode_state(const MitLimits& limits, std::span<const std::uint8_t, 8> payload) {
  const std::uint32_t p = std::uint32_t{payload[1]} << 8 | payload[2];
  const std::uint32_t v = std::uint32_t{payload[3]} << 4 | payload[4] >> 4;
  const std::uint32_t t = (std::uint32_t{payload[4]} & 0x0F) << 8 | payload[5];
  return MotorState{
      .position = from_symmetric_field(p, limits.p_max, 65535.0f),
      .velocity = from_symmetric_field(v, limits.v_max, 4095.0f),
      .torque = from_symmetric_field(t, limits.t_max, 4095.0f),
      .motor_id = static_cast<std::uint8_t>(payload[0] & 0x0F),
      .status = static_cast<std::uint8_t>(payload[0] >> 4),
      .driver_temperature = payload[6],
      .rotor_temperature = payload[7],
  };
}

}  // namespace vorlix::can_motor::damiao
