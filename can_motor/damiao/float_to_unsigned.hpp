// Float-to-integer conversion of the motor's fixed-point fields.
#pragma once

#include <cstdint>
#include <limits>

namespace vorlix::can_motor::damiao {

// Toward zero; negative and NaN give 0, too large gives the maximum (a plain cast would be
// undefined there).
inline std::uint32_t float_to_unsigned(float value) {
  if (!(value > 0.0f)) return 0;
  if (value >= 4294967296.0f) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(value);
}

}  // namespace vorlix::can_motor::damiao
