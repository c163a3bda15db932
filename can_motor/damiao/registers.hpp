// The motor's configuration register table. Pure, static data.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

#include "vorlix/damiao_error.hpp"

namespace vorlix::can_motor::damiao {

struct RegisterValue {
  RegisterType type;
  std::uint32_t bits;

  static RegisterValue from_float(float value) {
    return {RegisterType::Float, std::bit_cast<std::uint32_t>(value)};
  }
  static RegisterValue from_uint32(std::uint32_t value) { return {RegisterType::Uint32, value}; }
  float as_float() const { return std::bit_cast<float>(bits); }

  bool operator==(const RegisterValue&) const = default;
};

struct RegisterInfo {
  std::uint8_t id;
  std::string_view name;
  std::string_view description;
  RegisterType type;
  bool writable;
};

inline constexpr std::uint8_t kMasterIdRegister = 7;
inline constexpr std::uint8_t kTimeoutRegister = 9;
inline constexpr std::uint8_t kControlModeRegister = 10;
inline constexpr std::uint8_t kPMaxRegister = 21;
inline constexpr std::uint8_t kVMaxRegister = 22;
inline constexpr std::uint8_t kTMaxRegister = 23;

// The entry for `id`, or nullptr when the table has none.
const RegisterInfo* lookup(std::uint8_t id);

}  // namespace vorlix::can_motor::damiao
