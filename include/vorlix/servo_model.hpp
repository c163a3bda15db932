// A Feetech servo model as a value: where its registers are, how wide they are and how their
// counts encode. The group operations take a model, so another model is another value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vorlix::servo_bus {

// How a register's word (its bytes, low byte first) holds its value.
enum class Encoding : std::uint8_t {
  Count,     // an unsigned count, or a flag where any nonzero byte is true
  Position,  // a signed count (two's complement); 0 rad at the count of half a turn
  Offset,    // sign-magnitude: `sign_bit` the sign, the bits below it the magnitude; 0 rad at 0
};

struct Register {
  std::uint8_t address;
  std::uint8_t size;  // bytes: 1 or 2
  Encoding encoding = Encoding::Count;
  double counts_per_half_turn = 0.0;  // Position and Offset
  std::uint8_t sign_bit = 0;          // Offset
};

enum class PidTerm : std::uint8_t { P, I, D };

// Three one-byte gain registers from `address` on; `order` is the term each one holds.
struct PidRegisters {
  std::uint8_t address;
  std::array<PidTerm, 3> order;

  // The gains (P, I, D) in the three bytes read from `address` on.
  constexpr std::array<std::uint8_t, 3> gains(std::span<const std::uint8_t, 3> bytes) const {
    std::array<std::uint8_t, 3> pid{};
    for (std::size_t k = 0; k < order.size(); ++k) {
      pid[static_cast<std::size_t>(order[k])] = bytes[k];
    }
    return pid;
  }
  // The three bytes to write from `address` on for the gains (P, I, D).
  constexpr std::array<std::uint8_t, 3> bytes(const std::array<std::uint8_t, 3>& pid) const {
    std::array<std::uint8_t, 3> data{};
    for (std::size_t k = 0; k < order.size(); ++k) {
      data[k] = pid[static_cast<std::size_t>(order[k])];
    }
    return data;
  }
};

struct ServoModel {
  std::string_view name;
  Register torque_enable;
  Register goal_position;
  Register present_position;
  Register present_voltage;      // 0.1 V per count
  Register present_temperature;  // °C
  // Fault bits: voltage 0x01, sensor 0x02, overheating 0x04, overcurrent 0x08, overload 0x20;
  // a reply's error byte repeats them.
  Register status;
  PidRegisters pid;
  std::optional<Register> position_offset;  // kept in EEPROM
  std::optional<Register> eeprom_lock;      // 0 unlocks, 1 locks
};

// The nose servos.
inline constexpr ServoModel kSts3025bl{
    .name = "STS3025BL",
    .torque_enable = {40, 1},
    .goal_position = {42, 2, Encoding::Position, 2048.0},
    .present_position = {56, 2, Encoding::Position, 2048.0},
    .present_voltage = {62, 1},
    .present_temperature = {63, 1},
    .status = {65, 1},
    .pid = {21, {PidTerm::P, PidTerm::D, PidTerm::I}},
    .position_offset = std::nullopt,
    .eeprom_lock = std::nullopt,
};

// The arm servos: the nose servos' registers, plus the position offset (2047 counts per half
// turn, not 2048) and the EEPROM lock.
inline constexpr ServoModel kSm40bl = [] {
  ServoModel model = kSts3025bl;
  model.name = "SM40BL";
  model.position_offset = Register{31, 2, Encoding::Offset, 2047.0, 11};
  model.eeprom_lock = Register{55, 1};
  return model;
}();

}  // namespace vorlix::servo_bus
