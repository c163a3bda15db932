// Group operations on one register of several servos, one sync request each.
// Both models use these; sm40bl and sts3025bl name the ones each model offers.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "servo_bus/feetech_protocol/protocol.hpp"

namespace vorlix::servo_bus::feetech {

using Ids = std::span<const std::uint8_t>;

ServoResult<std::vector<std::int16_t>> sync_read_raw_present_position(
    const FeetechProtocolHandler& handler, ByteStream& port, Ids ids);
ServoResult<std::vector<double>> sync_read_present_position(
    const FeetechProtocolHandler& handler, ByteStream& port, Ids ids);
// sync_read_present_position into `positions` (one per id), allocating nothing.
ServoResult<void> sync_read_present_position_into(const FeetechProtocolHandler& handler,
                                                  ByteStream& port, Ids ids,
                                                  std::span<double> positions);
ServoResult<void> sync_write_raw_goal_position(const FeetechProtocolHandler& handler,
                                               ByteStream& port, Ids ids,
                                               std::span<const std::int16_t> values);
// The raw counts of the goals, or the error their group write would give; sends nothing.
// Lets a caller refuse a write spanning both models before either part goes out.
ServoResult<std::vector<std::int16_t>> goal_positions_to_raw(Ids ids,
                                                             std::span<const double> values);
// Refuses the whole write, sending nothing, when any goal is not finite.
ServoResult<void> sync_write_goal_position(const FeetechProtocolHandler& handler,
                                           ByteStream& port, Ids ids,
                                           std::span<const double> values);

ServoResult<std::vector<std::uint8_t>> sync_read_raw_torque_enable(
    const FeetechProtocolHandler& handler, ByteStream& port, Ids ids);
ServoResult<std::vector<bool>> sync_read_torque_enable(const FeetechProtocolHandler& handler,
                                                       ByteStream& port, Ids ids);
ServoResult<void> sync_write_raw_torque_enable(const FeetechProtocolHandler& handler,
                                               ByteStream& port, Ids ids,
                                               std::span<const std::uint8_t> values);
ServoResult<void> sync_write_torque_enable(const FeetechProtocolHandler& handler,
                                           ByteStream& port, Ids ids,
                                           const std::vector<bool>& values);

ServoResult<std::vector<std::uint8_t>> sync_read_present_voltage(
    const FeetechProtocolHandler& handler, ByteStream& port, Ids ids);

ServoResult<std::vector<std::uint16_t>> sync_read_raw_offset(
    const FeetechProtocolHandler& handler, ByteStream& port, Ids ids);
ServoResult<std::vector<double>> sync_read_offset(const FeetechProtocolHandler& handler,
                                                  ByteStream& port, Ids ids);
ServoResult<void> sync_write_raw_offset(const FeetechProtocolHandler& handler, ByteStream& port,
                                        Ids ids, std::span<const std::uint16_t> values);
// Refuses the whole write, sending nothing, when any offset is not finite.
ServoResult<void> sync_write_offset(const FeetechProtocolHandler& handler, ByteStream& port,
                                    Ids ids, std::span<const double> values);

ServoResult<void> sync_write_raw_lock(const FeetechProtocolHandler& handler, ByteStream& port,
                                      Ids ids, std::span<const std::uint8_t> values);
ServoResult<void> sync_write_lock(const FeetechProtocolHandler& handler, ByteStream& port,
                                  Ids ids, const std::vector<bool>& values);

}  // namespace vorlix::servo_bus::feetech
