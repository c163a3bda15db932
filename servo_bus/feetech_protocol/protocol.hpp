// The six servo-bus operations as request/reply exchanges over the half-duplex line.
// The handler does not own the port: the caller passes it to every operation.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vorlix/servo_bus_error.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "vorlix/byte_stream.hpp"

namespace vorlix::servo_bus {

// After each pass of draining stale input, so that the rest of a late reply can arrive.
inline constexpr std::chrono::milliseconds kDrainPause{5};

// Room for one status packet: the header's four bytes and as many more as its length byte
// can announce.
using StatusBuffer = std::array<std::uint8_t, 4 + 0xFF>;

struct Protocol {
  // Drains stale input (at most three passes, each followed by `drain_pause`), then writes
  // the packet.
  static ServoResult<void> send_instruction_packet(
      ByteStream& port, const FramedInstruction& packet,
      std::chrono::nanoseconds drain_pause = kDrainPause);
  // Reads one status packet into `buffer` and checks it (check_status): its data bytes,
  // which lie in `buffer`.
  static ServoResult<std::span<const std::uint8_t>> read_status_packet(
      ByteStream& port, std::uint8_t expected_id, StatusBuffer& buffer);
};

class FeetechProtocolHandler {
 public:
  explicit FeetechProtocolHandler(
      std::optional<std::chrono::nanoseconds> post_operation_delay = std::nullopt,
      std::chrono::nanoseconds drain_pause = kDrainPause)
      : post_operation_delay_(post_operation_delay), drain_pause_(drain_pause) {}

  ServoResult<bool> ping(ByteStream& port, std::uint8_t id) const;
  ServoResult<std::vector<std::uint8_t>> read(ByteStream& port, std::uint8_t id,
                                              std::uint8_t address, std::uint8_t count) const;
  ServoResult<void> write(ByteStream& port, std::uint8_t id, std::uint8_t address,
                          std::span<const std::uint8_t> data) const;
  ServoResult<std::vector<std::vector<std::uint8_t>>> sync_read(
      ByteStream& port, std::span<const std::uint8_t> ids, std::uint8_t address,
      std::uint8_t count) const;
  // sync_read of `count` bytes from each id into `data` (count bytes per id, in id order),
  // allocating nothing; a reply of another width fails it with ParsingError, as a caller of
  // sync_read that checks the widths would.
  ServoResult<void> sync_read_into(ByteStream& port, std::span<const std::uint8_t> ids,
                                   std::uint8_t address, std::uint8_t count,
                                   std::span<std::uint8_t> data) const;
  ServoResult<void> sync_write(ByteStream& port, std::span<const std::uint8_t> ids,
                               std::uint8_t address,
                               std::span<const std::vector<std::uint8_t>> values) const;
  ServoResult<bool> reboot(ByteStream& port, std::uint8_t id) const;

 private:
  std::optional<std::chrono::nanoseconds> post_operation_delay_;
  std::chrono::nanoseconds drain_pause_;
};

}  // namespace vorlix::servo_bus
