// The packet interfaces of the servo bus: what goes out and what comes back.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vorlix::servo_bus {

enum class Instruction : std::uint8_t {
  Ping = 0x01,
  Read = 0x02,
  Write = 0x03,
  Reboot = 0x08,
  SyncRead = 0x82,
  SyncWrite = 0x83,
};

inline constexpr std::uint8_t kBroadcastId = 0xFE;
inline constexpr std::size_t kMaxParams = 253;

class InstructionPacket {
 public:
  virtual ~InstructionPacket() = default;
  virtual std::uint8_t id() const = 0;
  virtual Instruction instruction() const = 0;
  virtual std::span<const std::uint8_t> params() const = 0;
  virtual std::vector<std::uint8_t> to_bytes() const = 0;
};

// Status flag values 0..4 stand for error-byte bits 0, 1, 2, 3 and 5.
using StatusFlag = std::uint8_t;

class StatusPacket {
 public:
  virtual ~StatusPacket() = default;
  virtual std::uint8_t id() const = 0;
  virtual std::span<const StatusFlag> errors() const = 0;
  virtual std::span<const std::uint8_t> params() const = 0;
};

}  // namespace vorlix::servo_bus
