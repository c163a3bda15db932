// Group operations on one register of several servos, one sync request each. The model says
// where the register is, how wide and how it encodes; one value per id, in id order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "servo_bus/feetech_protocol/protocol.hpp"
#include "vorlix/servo_model.hpp"

namespace vorlix::servo_bus::feetech {

using Ids = std::span<const std::uint8_t>;

// The register's words as on the wire (low byte first), with no conversion.
ServoResult<std::vector<std::uint16_t>> sync_read_words(const FeetechProtocolHandler& handler,
                                                        ByteStream& port, Ids ids,
                                                        const Register& reg);
ServoResult<void> sync_write_words(const FeetechProtocolHandler& handler, ByteStream& port,
                                   Ids ids, const Register& reg,
                                   std::span<const std::uint16_t> words);

ServoResult<std::vector<double>> sync_read_present_position(const ServoModel& model,
                                                            const FeetechProtocolHandler& handler,
                                                            ByteStream& port, Ids ids);
// sync_read_present_position into `positions` (one per id), allocating nothing.
ServoResult<void> sync_read_present_position_into(const ServoModel& model,
                                                  const FeetechProtocolHandler& handler,
                                                  ByteStream& port, Ids ids,
                                                  std::span<double> positions);
// The goals' words, or the error their group write would give; sends nothing. Lets a caller
// refuse a write spanning several groups before any part goes out.
ServoResult<std::vector<std::uint16_t>> goal_positions_to_words(const ServoModel& model, Ids ids,
                                                                std::span<const double> values);
// Refuses the whole write, sending nothing, when any goal is not finite.
ServoResult<void> sync_write_goal_position(const ServoModel& model,
                                           const FeetechProtocolHandler& handler,
                                           ByteStream& port, Ids ids,
                                           std::span<const double> values);

ServoResult<std::vector<bool>> sync_read_torque_enable(const ServoModel& model,
                                                       const FeetechProtocolHandler& handler,
                                                       ByteStream& port, Ids ids);
ServoResult<void> sync_write_torque_enable(const ServoModel& model,
                                           const FeetechProtocolHandler& handler,
                                           ByteStream& port, Ids ids,
                                           const std::vector<bool>& values);

// Tenths of a volt.
ServoResult<std::vector<std::uint8_t>> sync_read_present_voltage(
    const ServoModel& model, const FeetechProtocolHandler& handler, ByteStream& port, Ids ids);

// These fail, sending nothing, on a model without a position offset or an EEPROM lock.
ServoResult<std::vector<double>> sync_read_offset(const ServoModel& model,
                                                  const FeetechProtocolHandler& handler,
                                                  ByteStream& port, Ids ids);
// Refuses the whole write, sending nothing, when any offset is not finite.
ServoResult<void> sync_write_offset(const ServoModel& model,
                                    const FeetechProtocolHandler& handler, ByteStream& port,
                                    Ids ids, std::span<const double> values);
ServoResult<void> sync_write_lock(const ServoModel& model, const FeetechProtocolHandler& handler,
                                  ByteStream& port, Ids ids, const std::vector<bool>& values);

}  // namespace vorlix::servo_bus::feetech
