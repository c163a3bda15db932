#include "servo_bus/feetech_protocol/protocol.hpp"

#include <algorithm>
#include <array>
#include <thread>

#include "common/format.hpp"

namespace vorlix::servo_bus {
namespace {

constexpr int kDrainPasses = 3;

template <class T>
std::unexpected<ServoBusError> fail(T cause) {
  return std::unexpected(ServoBusError(std::move(cause)));
}

// Reads and discards whatever is waiting, pausing after each pass so that the rest of a late
// reply can arrive. True once the input stays empty.
ServoResult<bool> drain(ByteStream& port, std::chrono::nanoseconds pause) {
  std::vector<std::uint8_t> discarded;
  for (int pass = 0; pass < kDrainPasses; ++pass) {
    const auto waiting = port.bytes_to_read();
    if (!waiting) return fail(waiting.error());
    if (*waiting > 0) {
      discarded.resize(*waiting);
      if (auto read = port.read_exact(discarded); !read) return fail(read.error());
    }
    std::this_thread::sleep_for(pause);
    const auto left = port.bytes_to_read();
    if (!left) return fail(left.error());
    if (*left == 0) return true;
  }
  return false;
}

// Drains stale input, then writes `bytes`.
ServoResult<void> send_bytes(ByteStream& port, std::span<const std::uint8_t> bytes,
                             std::chrono::nanoseconds drain_pause) {
  const auto waiting = port.bytes_to_read();
  if (!waiting) return fail(waiting.error());
  if (*waiting > 0) {
    const auto drained = drain(port, drain_pause);
    if (!drained) return std::unexpected(drained.error());
    if (!*drained) return fail(CommunicationErrorKind::TimeoutError);
  }
  if (!port.write_all(bytes)) return fail(CommunicationErrorKind::TimeoutError);
  return {};
}

// One status packet's bytes, as the header announces them, not yet validated.
ServoResult<std::span<const std::uint8_t>> receive_status(ByteStream& port,
                                                          StatusBuffer& buffer) {
  const auto header = std::span(buffer).first<4>();
  if (auto read = port.read_exact(header); !read) return fail(read.error());
  // No search for a later header: the next send drains what is left.
  if (header[0] != 0xFF || header[1] != 0xFF) return fail(CommunicationErrorKind::ParsingError);
  const auto bytes = std::span(buffer).first(header.size() + header[3]);
  if (auto read = port.read_exact(bytes.subspan(header.size())); !read) {
    return fail(read.error());
  }
  return bytes;
}

// A packet that could not be built is the result of the send.
ServoResult<void> send_built(ByteStream& port, const BuiltInstruction& packet,
                             std::chrono::nanoseconds drain_pause) {
  if (!packet) return std::unexpected(packet.error());
  return Protocol::send_instruction_packet(port, *packet, drain_pause);
}

ServoResult<std::vector<std::uint8_t>> read_data(ByteStream& port, std::uint8_t id) {
  StatusBuffer buffer;
  const auto data = Protocol::read_status_packet(port, id, buffer);
  if (!data) return std::unexpected(data.error());
  return std::vector<std::uint8_t>(data->begin(), data->end());
}

// Ping and reboot: only sending can fail; a missing or bad reply is a plain "no".
ServoResult<bool> gets_reply(ByteStream& port, std::uint8_t id, Instruction instruction,
                             std::chrono::nanoseconds drain_pause) {
  if (auto sent = send_built(port, FramedInstruction::frame(id, instruction, {}), drain_pause);
      !sent) {
    return std::unexpected(sent.error());
  }
  StatusBuffer buffer;
  return Protocol::read_status_packet(port, id, buffer).has_value();
}

}  // namespace

ServoResult<void> Protocol::send_instruction_packet(ByteStream& port,
                                                    const FramedInstruction& packet,
                                                    std::chrono::nanoseconds drain_pause) {
  return send_bytes(port, packet.bytes(), drain_pause);
}

ServoResult<std::span<const std::uint8_t>> Protocol::read_status_packet(
    ByteStream& port, std::uint8_t expected_id, StatusBuffer& buffer) {
  const auto bytes = receive_status(port, buffer);
  if (!bytes) return std::unexpected(bytes.error());
  if (auto valid = check_status(*bytes, expected_id); !valid) return std::unexpected(valid.error());
  return status_data(*bytes);
}

ServoResult<bool> FeetechProtocolHandler::ping(ByteStream& port, std::uint8_t id) const {
  return gets_reply(port, id, Instruction::Ping, drain_pause_);
}

ServoResult<bool> FeetechProtocolHandler::reboot(ByteStream& port, std::uint8_t id) const {
  return gets_reply(port, id, Instruction::Reboot, drain_pause_);
}

ServoResult<std::vector<std::uint8_t>> FeetechProtocolHandler::read(
    ByteStream& port, std::uint8_t id, std::uint8_t address, std::uint8_t count) const {
  const auto sent = send_built(port, read_packet(id, address, count), drain_pause_);
  auto result = sent ? read_data(port, id) : std::unexpected(sent.error());
  if (post_operation_delay_) std::this_thread::sleep_for(*post_operation_delay_);
  return result;
}

ServoResult<void> FeetechProtocolHandler::write(ByteStream& port, std::uint8_t id,
                                                std::uint8_t address,
                                                std::span<const std::uint8_t> data) const {
  if (auto sent = send_built(port, write_packet(id, address, data), drain_pause_); !sent) {
    return sent;
  }
  StatusBuffer buffer;
  if (auto status = Protocol::read_status_packet(port, id, buffer); !status) {
    return std::unexpected(status.error());
  }
  if (post_operation_delay_) std::this_thread::sleep_for(*post_operation_delay_);
  return {};
}

ServoResult<std::vector<std::vector<std::uint8_t>>> FeetechProtocolHandler::sync_read(
    ByteStream& port, std::span<const std::uint8_t> ids, std::uint8_t address,
    std::uint8_t count) const {
  if (auto sent = send_built(port, sync_read_packet(ids, address, count), drain_pause_); !sent) {
    return std::unexpected(sent.error());
  }
  std::vector<std::vector<std::uint8_t>> answers;
  answers.reserve(ids.size());
  for (const std::uint8_t id : ids) {
    auto data = read_data(port, id);
    if (!data) return std::unexpected(data.error());
    answers.push_back(std::move(*data));
  }
  return answers;
}

ServoResult<void> FeetechProtocolHandler::sync_read_into(ByteStream& port,
                                                        std::span<const std::uint8_t> ids,
                                                        std::uint8_t address, std::uint8_t count,
                                                        std::span<std::uint8_t> data) const {
  constexpr std::size_t kFixedParams = 2;  // address and count
  if (ids.size() > kMaxParams - kFixedParams || data.size() != ids.size() * count) {
    return fail(InvalidRequest{fmt::format("sync read of {} bytes from {} servos into {} bytes",
                                           count, ids.size(), data.size())});
  }
  if (auto sent = send_built(port, sync_read_packet(ids, address, count), drain_pause_); !sent) {
    return sent;
  }
  // As sync_read and a check of each reply's width after it: every reply is read before a
  // reply of another width fails the whole read.
  bool widths_match = true;
  StatusBuffer buffer;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto reply = Protocol::read_status_packet(port, ids[i], buffer);
    if (!reply) return std::unexpected(reply.error());
    if (reply->size() != count) {
      widths_match = false;
      continue;
    }
    std::ranges::copy(*reply, data.begin() + static_cast<std::ptrdiff_t>(i * count));
  }
  if (!widths_match) return fail(CommunicationErrorKind::ParsingError);
  return {};
}

ServoResult<void> FeetechProtocolHandler::sync_write(
    ByteStream& port, std::span<const std::uint8_t> ids, std::uint8_t address,
    std::span<const std::vector<std::uint8_t>> values) const {
  return send_built(port, sync_write_packet(ids, address, values), drain_pause_);
}

}  // namespace vorlix::servo_bus
