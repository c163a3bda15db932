// The Feetech packet codec: builders, checksum and the status checks. Packets are framed in
// place and replies checked where they lie, so that nothing here allocates.
// Pure: no I/O here except the status check's one diagnostic line on standard output.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "vorlix/servo_bus_error.hpp"

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
// Header, id, length, instruction or error byte, and the checksum around the parameters.
inline constexpr std::size_t kFrameBytes = 6;
inline constexpr std::size_t kMaxPacketBytes = kMaxParams + kFrameBytes;

// Bitwise NOT of the 8-bit wrapping sum of `bytes`.
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

// One instruction packet as it goes on the line, in room for the longest.
class FramedInstruction {
 public:
  // `parts` one after the other are the parameters. Fails (InvalidRequest) with more than
  // kMaxParams parameter bytes.
  static ServoResult<FramedInstruction> frame(
      std::uint8_t id, Instruction instruction,
      std::initializer_list<std::span<const std::uint8_t>> parts);

  std::uint8_t id() const { return bytes_[2]; }
  std::span<const std::uint8_t> bytes() const { return std::span(bytes_).first(size_); }

 private:
  FramedInstruction() = default;
  std::array<std::uint8_t, kMaxPacketBytes> bytes_{};
  std::size_t size_ = 0;
};

using BuiltInstruction = ServoResult<FramedInstruction>;

// One builder per instruction with parameters; each fails as `frame` does.
BuiltInstruction read_packet(std::uint8_t id, std::uint8_t address, std::uint8_t count);
BuiltInstruction write_packet(std::uint8_t id, std::uint8_t address,
                              std::span<const std::uint8_t> data);
BuiltInstruction sync_read_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                  std::uint8_t count);
// Also fails (InvalidRequest) with no id-value pair or a width that does not fit 8 bits.
BuiltInstruction sync_write_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                   std::span<const std::vector<std::uint8_t>> values);

// Validates a received status packet against `expected_id` in the wire order of checks:
// length, checksum (with its diagnostic line), header, id, length byte.
ServoResult<void> check_status(std::span<const std::uint8_t> bytes, std::uint8_t expected_id);
// The data bytes of a packet check_status accepted.
std::span<const std::uint8_t> status_data(std::span<const std::uint8_t> bytes);

}  // namespace vorlix::servo_bus
