#include "servo_bus/servo/feetech/registers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace vorlix::servo_bus::feetech {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kStepsPerTurn = 4096.0;
constexpr double kOffsetStepsPerHalfTurn = 2047.0;
constexpr std::uint16_t kOffsetMagnitude = 0x07FF;
constexpr std::uint16_t kOffsetSign = 0x0800;

// Truncates toward zero and saturates to T's range; NaN gives 0.
template <class T>
T saturate(double value) {
  if (std::isnan(value)) return 0;
  const double truncated = std::trunc(value);
  const double low = std::numeric_limits<T>::min();
  const double high = std::numeric_limits<T>::max();
  return static_cast<T>(std::clamp(truncated, low, high));
}

}  // namespace

double present_position_to_rad(std::int16_t raw) {
  return raw * (2.0 * kPi) * std::ldexp(1.0, -12) - kPi;
}

std::int16_t goal_position_to_raw(double rad) {
  return saturate<std::int16_t>((rad + kPi) * kStepsPerTurn / (2.0 * kPi));
}

double offset_to_rad(std::uint16_t raw) {
  const double magnitude = (raw & kOffsetMagnitude) * kPi / kOffsetStepsPerHalfTurn;
  // Only bit 11 alone among the high bits counts as negative; 0x0800 reads as -0.0.
  return (raw & 0xF800) == kOffsetSign ? -magnitude : magnitude;
}

std::uint16_t offset_to_raw(double rad) {
  const auto magnitude = saturate<std::uint16_t>(std::fabs(rad) * kOffsetStepsPerHalfTurn / kPi);
  return std::signbit(rad) ? static_cast<std::uint16_t>(magnitude | kOffsetSign) : magnitude;
}

}  // namespace vorlix::servo_bus::feetech
