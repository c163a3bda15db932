// A register's words and the radians they stand for, as its model describes them. Pure.
#pragma once

#include <cstdint>

#include "vorlix/servo_model.hpp"

namespace vorlix::servo_bus::feetech {

// A Position or Offset register's word in radians.
double word_to_rad(const Register& reg, std::uint16_t word);
// Truncates toward zero and saturates to the register's range; the caller refuses non-finite
// values before this.
std::uint16_t rad_to_word(const Register& reg, double rad);

// The registers by name, for the doctor, which reads one servo at a time.
inline constexpr std::uint8_t kPositionOffsetAddress = kSm40bl.position_offset->address;
inline constexpr std::uint8_t kTorqueEnableAddress = kSm40bl.torque_enable.address;
inline constexpr std::uint8_t kEepromLockAddress = kSm40bl.eeprom_lock->address;
inline constexpr std::uint8_t kPresentPositionAddress = kSm40bl.present_position.address;
inline constexpr std::uint8_t kPresentVoltageAddress = kSm40bl.present_voltage.address;
inline constexpr std::uint8_t kPresentTemperatureAddress = kSm40bl.present_temperature.address;
inline constexpr std::uint8_t kStatusAddress = kSm40bl.status.address;
inline double present_position_to_rad(std::int16_t raw) {
  return word_to_rad(kSm40bl.present_position, static_cast<std::uint16_t>(raw));
}
inline double offset_to_rad(std::uint16_t raw) {
  return word_to_rad(*kSm40bl.position_offset, raw);
}

}  // namespace vorlix::servo_bus::feetech
