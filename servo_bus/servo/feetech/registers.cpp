#include "servo_bus/servo/feetech/registers.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vorlix::servo_bus::feetech {
namespace {

constexpr double kPi = std::numbers::pi;

constexpr unsigned bits_of(const Register& reg) { return 8U * reg.size; }

// Truncates toward zero and saturates to [low, high]; NaN gives 0.
double saturate(double value, double low, double high) {
  if (std::isnan(value)) return 0.0;
  return std::clamp(std::trunc(value), low, high);
}

// The word read as a two's complement number of the register's width.
double signed_value(const Register& reg, std::uint16_t word) {
  const std::int32_t half = std::int32_t{1} << (bits_of(reg) - 1);
  const std::int32_t value = word;
  return value >= half ? value - 2 * half : value;
}

}  // namespace

double word_to_rad(const Register& reg, std::uint16_t word) {
  const double half_turn = reg.counts_per_half_turn;
  if (reg.encoding == Encoding::Position) {
    return signed_value(reg, word) * (2.0 * kPi) / (2.0 * half_turn) - kPi;
  }
  const std::uint32_t sign = 1U << reg.sign_bit;
  const std::uint32_t magnitude_bits = sign - 1;
  const std::uint32_t high_bits = ((1U << bits_of(reg)) - 1) & ~magnitude_bits;
  const double magnitude = (word & magnitude_bits) * kPi / half_turn;
  // Only the sign bit alone among the high bits counts as negative; the sign bit alone reads
  // as -0.0.
  return (word & high_bits) == sign ? -magnitude : magnitude;
}

std::uint16_t rad_to_word(const Register& reg, double rad) {
  const double half_turn = reg.counts_per_half_turn;
  const double full = std::ldexp(1.0, static_cast<int>(bits_of(reg)));
  if (reg.encoding == Encoding::Position) {
    const double count =
        saturate((rad + kPi) * (2.0 * half_turn) / (2.0 * kPi), -full / 2, full / 2 - 1);
    return static_cast<std::uint16_t>(static_cast<std::int32_t>(count));
  }
  const auto magnitude =
      static_cast<std::uint32_t>(saturate(std::fabs(rad) * half_turn / kPi, 0.0, full - 1));
  return static_cast<std::uint16_t>(std::signbit(rad) ? magnitude | 1U << reg.sign_bit
                                                      : magnitude);
}

}  // namespace vorlix::servo_bus::feetech
