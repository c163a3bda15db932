// Register addresses and unit conversions shared by the SM40BL and STS3025BL models. Pure.
#pragma once

#include <cstdint>

namespace vorlix::servo_bus::feetech {

inline constexpr std::uint8_t kPositionOffsetAddress = 31;  // 2 bytes, sign-magnitude
inline constexpr std::uint8_t kTorqueEnableAddress = 40;    // 1 byte
inline constexpr std::uint8_t kGoalPositionAddress = 42;    // 2 bytes, signed
inline constexpr std::uint8_t kEepromLockAddress = 55;      // 1 byte
inline constexpr std::uint8_t kPresentPositionAddress = 56;  // 2 bytes, signed
inline constexpr std::uint8_t kPresentVoltageAddress = 62;  // 1 byte, 0.1 V per unit
inline constexpr std::uint8_t kPresentTemperatureAddress = 63;  // 1 byte, °C
// 1 byte of fault bits: voltage 0x01, sensor 0x02, overheating 0x04, overcurrent 0x08,
// overload 0x20; a reply's error byte repeats them.
inline constexpr std::uint8_t kStatusAddress = 65;

double present_position_to_rad(std::int16_t raw);
// Truncates toward zero and saturates; the caller refuses non-finite goals before this.
std::int16_t goal_position_to_raw(double rad);
double offset_to_rad(std::uint16_t raw);
// Sign-magnitude, bit 11 the sign; the caller refuses non-finite offsets before this.
std::uint16_t offset_to_raw(double rad);

}  // namespace vorlix::servo_bus::feetech
