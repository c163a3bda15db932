// What servos and neck motors that answer at once say to a full reading: the replies to a
// sync read, and a neck motor's state. Header-only, so that the benchmarks use it too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "servo_bus/feetech_protocol/feetech.hpp"

namespace vorlix::test_support {

inline constexpr std::uint8_t kSyncRead = 0x82;

// Takes every whole packet off the front of `input`, calling `on_sync_read` with each sync
// read among them; a packet cut short stays for the bytes still to come.
template <class OnSyncRead>
void take_sync_reads(std::vector<std::uint8_t>& input, OnSyncRead&& on_sync_read) {
  while (input.size() >= 4 && input.size() >= 4u + input[3]) {
    const std::size_t size = 4u + input[3];
    if (input[4] == kSyncRead) on_sync_read(std::span<const std::uint8_t>(input).first(size));
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(size));
  }
}

// One reply per id of `sync_read`, as long as it asks, every byte 0x08.
inline std::vector<std::uint8_t> sync_read_replies(std::span<const std::uint8_t> sync_read) {
  const std::uint8_t count = sync_read[6];
  std::vector<std::uint8_t> replies;
  for (const std::uint8_t id : sync_read.subspan(7, sync_read.size() - 8)) {
    const std::size_t start = replies.size();
    replies.insert(replies.end(), {0xFF, 0xFF, id, static_cast<std::uint8_t>(count + 2), 0});
    replies.insert(replies.end(), count, 0x08);
    replies.push_back(servo_bus::checksum(std::span(replies).subspan(start + 2)));
  }
  return replies;
}

// A neck motor's state, enabled and at rest at the middle of its range (0 rad).
constexpr std::array<std::uint8_t, 8> neck_state_at_zero(std::uint8_t motor) {
  return {static_cast<std::uint8_t>(0x10 | motor), 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x28};
}

}  // namespace vorlix::test_support
