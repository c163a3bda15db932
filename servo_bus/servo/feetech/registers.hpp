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

}  // namespace vorlix::servo_bus::feetech
