#include "servo_bus/servo/feetech/group_ops.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

#include "common/format.hpp"
#include "servo_bus/servo/feetech/registers.hpp"

namespace vorlix::servo_bus::feetech {
namespace {

std::unexpected<ServoBusError> invalid(std::string text) {
  return std::unexpected(ServoBusError(InvalidRequest{std::move(text)}));
}

ServoResult<void> check_one_value_per_id(Ids ids, std::size_t values) {
  if (values != ids.size()) {
    return invalid(fmt::format("{} values given for {} servo ids", values, ids.size()));
  }
  return {};
}

// Registers are 1 or 2 bytes wide, low byte first.
template <class Raw>
std::vector<std::uint8_t> to_register_bytes(Raw value) {
  const auto bits = static_cast<std::uint16_t>(value);
  if constexpr (sizeof(Raw) == 1) {
    return {static_cast<std::uint8_t>(bits)};
  } else {
    return {static_cast<std::uint8_t>(bits & 0xFF), static_cast<std::uint8_t>(bits >> 8)};
  }
}

template <class Raw>
Raw from_register_bytes(std::span<const std::uint8_t> bytes) {
  if constexpr (sizeof(Raw) == 1) {
    return static_cast<Raw>(bytes[0]);
  } else {
    return static_cast<Raw>(static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8));
  }
}

template <class Raw>
ServoResult<std::vector<Raw>> read_raw(const FeetechProtocolHandler& handler, ByteStream& port,
                                       Ids ids, std::uint8_t address) {
  auto replies = handler.sync_read(port, ids, address, sizeof(Raw));
  if (!replies) return std::unexpected(replies.error());
  std::vector<Raw> values;
  values.reserve(replies->size());
  for (const auto& reply : *replies) {
    // A reply of another width is not this register: fail whole, never a partial list.
    if (reply.size() != sizeof(Raw)) {
      return std::unexpected(ServoBusError(CommunicationErrorKind::ParsingError));
    }
    values.push_back(from_register_bytes<Raw>(reply));
  }
  return values;
}

template <class Raw>
ServoResult<void> write_raw(const FeetechProtocolHandler& handler, ByteStream& port, Ids ids,
                            std::uint8_t address, std::span<const Raw> values) {
  if (auto checked = check_one_value_per_id(ids, values.size()); !checked) return checked;
  std::vector<std::vector<std::uint8_t>> bytes;
  bytes.reserve(values.size());
  for (const Raw value : values) bytes.push_back(to_register_bytes(value));
  return handler.sync_write(port, ids, address, bytes);
}

template <class T, class Raw, class Convert>
ServoResult<std::vector<T>> convert_all(ServoResult<std::vector<Raw>> raw, Convert convert) {
  if (!raw) return std::unexpected(raw.error());
  std::vector<T> converted;
  converted.reserve(raw->size());
  for (const Raw value : *raw) converted.push_back(convert(value));
  return converted;
}

// The raw conversions would turn NaN into an extreme position, so a non-finite value refuses
// the whole write before anything is sent.
template <class Raw, class Convert>
ServoResult<std::vector<Raw>> finite_to_raw(Ids ids, std::span<const double> values,
                                            std::string_view what, Convert convert) {
  if (auto checked = check_one_value_per_id(ids, values.size()); !checked) {
    return std::unexpected(checked.error());
  }
  std::vector<Raw> raw;
  raw.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      return invalid(fmt::format("{} for servo {} is not finite: {}", what, ids[i], values[i]));
    }
    raw.push_back(convert(values[i]));
  }
  return raw;
}

std::vector<std::uint8_t> flags_to_bytes(const std::vector<bool>& flags) {
  return std::vector<std::uint8_t>(flags.begin(), flags.end());
}

}  // namespace

ServoResult<std::vector<std::int16_t>> sync_read_raw_present_position(
    const FeetechProtocolHandler& handler, ByteStream& port, Ids ids) {
  return read_raw<std::int16_t>(handler, port, ids, kPresentPositionAddress);
}

ServoResult<std::vector<double>> sync_read_present_position(const FeetechProtocolHandler& handler,
                                                            ByteStream& port, Ids ids) {
  return convert_all<double>(sync_read_raw_present_position(handler, port, ids),
                             present_position_to_rad);
}

ServoResult<void> sync_read_present_position_into(const FeetechProtocolHandler& handler,
                                                  ByteStream& port, Ids ids,
                                                  std::span<double> positions) {
  if (auto checked = check_one_value_per_id(ids, positions.size()); !checked) return checked;
  constexpr std::size_t kWidth = sizeof(std::int16_t);
  std::array<std::uint8_t, kMaxParams * kWidth> raw;
  const auto bytes = std::span(raw).first(std::min(ids.size(), kMaxParams) * kWidth);
  if (auto read = handler.sync_read_into(port, ids, kPresentPositionAddress, kWidth, bytes);
      !read) {
    return read;
  }
  for (std::size_t i = 0; i < positions.size(); ++i) {
    positions[i] =
        present_position_to_rad(from_register_bytes<std::int16_t>(bytes.subspan(i * kWidth)));
  }
  return {};
}

ServoResult<void> sync_write_raw_goal_position(const FeetechProtocolHandler& handler,
                                               ByteStream& port, Ids ids,
                                               std::span<const std::int16_t> values) {
  return write_raw(handler, port, ids, kGoalPositionAddress, values);
}

ServoResult<std::vector<std::int16_t>> goal_positions_to_raw(Ids ids,
                                                             std::span<const double> values) {
  return finite_to_raw<std::int16_t>(ids, values, "goal position", goal_position_to_raw);
}

ServoResult<void> sync_write_goal_position(const FeetechProtocolHandler& handler,
                                           ByteStream& port, Ids ids,
                                           std::span<const double> values) {
  const auto raw = goal_positions_to_raw(ids, values);
  if (!raw) return std::unexpected(raw.error());
  return sync_write_raw_goal_position(handler, port, ids, *raw);
}

ServoResult<std::vector<std::uint8_t>> sync_read_raw_torque_enable(
    const FeetechProtocolHandler& handler, ByteStream& port, Ids ids) {
  return read_raw<std::uint8_t>(handler, port, ids, kTorqueEnableAddress);
}

ServoResult<std::vector<bool>> sync_read_torque_enable(const FeetechProtocolHandler& handler,
                                                       ByteStream& port, Ids ids) {
  return convert_all<bool>(sync_read_raw_torque_enable(handler, port, ids),
                           [](std::uint8_t raw) { return raw != 0; });
}

ServoResult<void> sync_write_raw_torque_enable(const FeetechProtocolHandler& handler,
                                               ByteStream& port, Ids ids,
                                               std::span<const std::uint8_t> values) {
  return write_raw(handler, port, ids, kTorqueEnableAddress, values);
}

ServoResult<void> sync_write_torque_enable(const FeetechProtocolHandler& handler,
                                           ByteStream& port, Ids ids,
                                           const std::vector<bool>& values) {
  return sync_write_raw_torque_enable(handler, port, ids, flags_to_bytes(values));
}

ServoResult<std::vector<std::uint8_t>> sync_read_present_voltage(
    const FeetechProtocolHandler& handler, ByteStream& port, Ids ids) {
  return read_raw<std::uint8_t>(handler, port, ids, kPresentVoltageAddress);
}

ServoResult<std::vector<std::uint16_t>> sync_read_raw_offset(
    const FeetechProtocolHandler& handler, ByteStream& port, Ids ids) {
  return read_raw<std::uint16_t>(handler, port, ids, kPositionOffsetAddress);
}

ServoResult<std::vector<double>> sync_read_offset(const FeetechProtocolHandler& handler,
                                                  ByteStream& port, Ids ids) {
  return convert_all<double>(sync_read_raw_offset(handler, port, ids), offset_to_rad);
}

ServoResult<void> sync_write_raw_offset(const FeetechProtocolHandler& handler, ByteStream& port,
                                        Ids ids, std::span<const std::uint16_t> values) {
  return write_raw(handler, port, ids, kPositionOffsetAddress, values);
}

ServoResult<void> sync_write_offset(const FeetechProtocolHandler& handler, ByteStream& port,
                                    Ids ids, std::span<const double> values) {
  const auto raw = finite_to_raw<std::uint16_t>(ids, values, "position offset", offset_to_raw);
  if (!raw) return std::unexpected(raw.error());
  return sync_write_raw_offset(handler, port, ids, *raw);
}

ServoResult<void> sync_write_raw_lock(const FeetechProtocolHandler& handler, ByteStream& port,
                                      Ids ids, std::span<const std::uint8_t> values) {
  return write_raw(handler, port, ids, kEepromLockAddress, values);
}

ServoResult<void> sync_write_lock(const FeetechProtocolHandler& handler, ByteStream& port,
                                  Ids ids, const std::vector<bool>& values) {
  return sync_write_raw_lock(handler, port, ids, flags_to_bytes(values));
}

}  // namespace vorlix::servo_bus::feetech
