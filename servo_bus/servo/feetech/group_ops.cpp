#include "servo_bus/servo/feetech/group_ops.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string_view>

#include "common/format.hpp"
#include "servo_bus/servo/feetech/registers.hpp"

namespace vorlix::servo_bus::feetech {
namespace {

constexpr std::size_t kMaxRegisterSize = 2;

std::unexpected<ServoBusError> invalid(std::string text) {
  return std::unexpected(ServoBusError(InvalidRequest{std::move(text)}));
}

ServoResult<void> check_one_value_per_id(Ids ids, std::size_t values) {
  if (values != ids.size()) {
    return invalid(fmt::format("{} values given for {} servo ids", values, ids.size()));
  }
  return {};
}

// A word is at most 16 bits.
ServoResult<void> check_size(const Register& reg) {
  if (reg.size == 0 || reg.size > kMaxRegisterSize) {
    return invalid(fmt::format("register {} is {} bytes wide; 1 or 2 are supported",
                               reg.address, reg.size));
  }
  return {};
}

ServoResult<const Register*> optional_register(const ServoModel& model,
                                               const std::optional<Register>& reg,
                                               std::string_view what) {
  if (!reg) return invalid(fmt::format("{} has no {} register", model.name, what));
  return &*reg;
}

// Low byte first.
std::vector<std::uint8_t> to_bytes(const Register& reg, std::uint16_t word) {
  std::vector<std::uint8_t> bytes(reg.size);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(word >> (8 * i));
  }
  return bytes;
}

std::uint16_t from_bytes(std::span<const std::uint8_t> bytes) {
  std::uint16_t word = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    word = static_cast<std::uint16_t>(word | bytes[i] << (8 * i));
  }
  return word;
}

template <class T, class Convert>
ServoResult<std::vector<T>> convert_all(ServoResult<std::vector<std::uint16_t>> words,
                                        Convert convert) {
  if (!words) return std::unexpected(words.error());
  std::vector<T> converted;
  converted.reserve(words->size());
  for (const std::uint16_t word : *words) converted.push_back(convert(word));
  return converted;
}

// The raw conversions would turn NaN into an extreme position, so a non-finite value refuses
// the whole write before anything is sent.
ServoResult<std::vector<std::uint16_t>> finite_to_words(const Register& reg, Ids ids,
                                                        std::span<const double> values,
                                                        std::string_view what) {
  if (auto checked = check_one_value_per_id(ids, values.size()); !checked) {
    return std::unexpected(checked.error());
  }
  std::vector<std::uint16_t> words;
  words.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      return invalid(fmt::format("{} for servo {} is not finite: {}", what, ids[i], values[i]));
    }
    words.push_back(rad_to_word(reg, values[i]));
  }
  return words;
}

// True is written as 1.
ServoResult<void> write_flags(const FeetechProtocolHandler& handler, ByteStream& port, Ids ids,
                              const Register& reg, const std::vector<bool>& flags) {
  const std::vector<std::uint16_t> words(flags.begin(), flags.end());
  return sync_write_words(handler, port, ids, reg, words);
}

}  // namespace

ServoResult<std::vector<std::uint16_t>> sync_read_words(const FeetechProtocolHandler& handler,
                                                        ByteStream& port, Ids ids,
                                                        const Register& reg) {
  if (auto checked = check_size(reg); !checked) return std::unexpected(checked.error());
  auto replies = handler.sync_read(port, ids, reg.address, reg.size);
  if (!replies) return std::unexpected(replies.error());
  std::vector<std::uint16_t> words;
  words.reserve(replies->size());
  for (const auto& reply : *replies) {
    // A reply of another width is not this register: fail whole, never a partial list.
    if (reply.size() != reg.size) {
      return std::unexpected(ServoBusError(CommunicationErrorKind::ParsingError));
    }
    words.push_back(from_bytes(reply));
  }
  return words;
}

ServoResult<void> sync_write_words(const FeetechProtocolHandler& handler, ByteStream& port,
                                   Ids ids, const Register& reg,
                                   std::span<const std::uint16_t> words) {
  if (auto checked = check_size(reg); !checked) return checked;
  if (auto checked = check_one_value_per_id(ids, words.size()); !checked) return checked;
  std::vector<std::vector<std::uint8_t>> bytes;
  bytes.reserve(words.size());
  for (const std::uint16_t word : words) bytes.push_back(to_bytes(reg, word));
  return handler.sync_write(port, ids, reg.address, bytes);
}

ServoResult<std::vector<double>> sync_read_present_position(const ServoModel& model,
                                                            const FeetechProtocolHandler& handler,
                                                            ByteStream& port, Ids ids) {
  const Register& reg = model.present_position;
  return convert_all<double>(sync_read_words(handler, port, ids, reg),
                             [&reg](std::uint16_t word) { return word_to_rad(reg, word); });
}

ServoResult<void> sync_read_present_position_into(const ServoModel& model,
                                                  const FeetechProtocolHandler& handler,
                                                  ByteStream& port, Ids ids,
                                                  std::span<double> positions) {
  const Register& reg = model.present_position;
  if (auto checked = check_size(reg); !checked) return checked;
  if (auto checked = check_one_value_per_id(ids, positions.size()); !checked) return checked;
  std::array<std::uint8_t, kMaxParams * kMaxRegisterSize> raw;
  const auto bytes = std::span(raw).first(std::min(ids.size(), kMaxParams) * reg.size);
  if (auto read = handler.sync_read_into(port, ids, reg.address, reg.size, bytes); !read) {
    return read;
  }
  for (std::size_t i = 0; i < positions.size(); ++i) {
    positions[i] = word_to_rad(reg, from_bytes(bytes.subspan(i * reg.size, reg.size)));
  }
  return {};
}

ServoResult<std::vector<std::uint16_t>> goal_positions_to_words(const ServoModel& model, Ids ids,
                                                                std::span<const double> values) {
  return finite_to_words(model.goal_position, ids, values, "goal position");
}

ServoResult<void> sync_write_goal_position(const ServoModel& model,
                                           const FeetechProtocolHandler& handler,
                                           ByteStream& port, Ids ids,
                                           std::span<const double> values) {
  const auto words = goal_positions_to_words(model, ids, values);
  if (!words) return std::unexpected(words.error());
  return sync_write_words(handler, port, ids, model.goal_position, *words);
}

ServoResult<std::vector<bool>> sync_read_torque_enable(const ServoModel& model,
                                                       const FeetechProtocolHandler& handler,
                                                       ByteStream& port, Ids ids) {
  return convert_all<bool>(sync_read_words(handler, port, ids, model.torque_enable),
                           [](std::uint16_t word) { return word != 0; });
}

ServoResult<void> sync_write_torque_enable(const ServoModel& model,
                                           const FeetechProtocolHandler& handler,
                                           ByteStream& port, Ids ids,
                                           const std::vector<bool>& values) {
  return write_flags(handler, port, ids, model.torque_enable, values);
}

ServoResult<std::vector<std::uint8_t>> sync_read_present_voltage(
    const ServoModel& model, const FeetechProtocolHandler& handler, ByteStream& port, Ids ids) {
  return convert_all<std::uint8_t>(
      sync_read_words(handler, port, ids, model.present_voltage),
      [](std::uint16_t word) { return static_cast<std::uint8_t>(word); });
}

ServoResult<std::vector<double>> sync_read_offset(const ServoModel& model,
                                                  const FeetechProtocolHandler& handler,
                                                  ByteStream& port, Ids ids) {
  const auto reg = optional_register(model, model.position_offset, "position offset");
  if (!reg) return std::unexpected(reg.error());
  return convert_all<double>(sync_read_words(handler, port, ids, **reg),
                             [&reg](std::uint16_t word) { return word_to_rad(**reg, word); });
}

ServoResult<void> sync_write_offset(const ServoModel& model,
                                    const FeetechProtocolHandler& handler, ByteStream& port,
                                    Ids ids, std::span<const double> values) {
  const auto reg = optional_register(model, model.position_offset, "position offset");
  if (!reg) return std::unexpected(reg.error());
  const auto words = finite_to_words(**reg, ids, values, "position offset");
  if (!words) return std::unexpected(words.error());
  return sync_write_words(handler, port, ids, **reg, *words);
}

ServoResult<void> sync_write_lock(const ServoModel& model, const FeetechProtocolHandler& handler,
                                  ByteStream& port, Ids ids, const std::vector<bool>& values) {
  const auto reg = optional_register(model, model.eeprom_lock, "EEPROM lock");
  if (!reg) return std::unexpected(reg.error());
  return write_flags(handler, port, ids, **reg, values);
}

}  // namespace vorlix::servo_bus::feetech
