#include "can_motor/damiao/driver.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <span>
#include <thread>

#include "can_motor/damiao/float_to_unsigned.hpp"
#include "can_motor/transport/await_frame.hpp"

namespace vorlix::can_motor::damiao {
namespace {

// Feedback requests and register access all go to this identifier; the motor is named in
// the payload.
constexpr std::uint16_t kManagementId = 0x7FF;
constexpr std::uint8_t kFeedback = 0xCC;
constexpr std::uint8_t kReadRegister = 0x33;
constexpr std::uint8_t kWriteRegister = 0x55;

constexpr Payload kEnable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
constexpr Payload kDisable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD};

constexpr std::uint16_t kPosVelOffset = 0x100;
constexpr std::uint16_t kVelOffset = 0x200;
constexpr std::uint16_t kForcePosOffset = 0x300;

CanId wire_id(std::uint16_t id) { return CanId::standard(id & 0x7FFu); }

void put_le16(Payload& payload, std::size_t at, std::uint16_t value) {
  payload[at] = static_cast<std::uint8_t>(value);
  payload[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_le32(Payload& payload, std::size_t at, std::uint32_t value) {
  put_le16(payload, at, static_cast<std::uint16_t>(value));
  put_le16(payload, at + 2, static_cast<std::uint16_t>(value >> 16));
}

std::uint32_t get_le32(std::span<const std::uint8_t> data, std::size_t at) {
  return std::uint32_t{data[at]} | std::uint32_t{data[at + 1]} << 8 |
         std::uint32_t{data[at + 2]} << 16 | std::uint32_t{data[at + 3]} << 24;
}

// Clamped to [0, high], scaled, truncated and capped at 10000, as FORCE_POS expects.
std::uint16_t force_pos_limit(float value, float high, float scale) {
  constexpr std::uint32_t kCap = 10000;
  return static_cast<std::uint16_t>(
      std::min(float_to_unsigned(std::clamp(value, 0.0f, high) * scale), kCap));
}

Payload management_payload(std::uint16_t can_id, std::uint8_t command, std::uint8_t reg = 0,
                           std::uint32_t value = 0) {
  Payload payload{};
  put_le16(payload, 0, can_id);
  payload[2] = command;
  payload[3] = reg;
  put_le32(payload, 4, value);
  return payload;
}

CanFrame classic_frame(std::uint16_t id, const Payload& payload) {
  return CanFrame{
      .id = wire_id(id), .data = {payload.begin(), payload.end()}, .fd = false, .brs = false};
}

std::unexpected<DamiaoError> failure(DamiaoError::Cause cause) {
  return std::unexpected(DamiaoError(std::move(cause)));
}

}  // namespace

DamiaoResult<MotorState> Damiao::enable(CanTransport& transport) const {
  return cmd_at_arbitration(transport, can_id, kEnable);
}

DamiaoResult<MotorState> Damiao::disable(CanTransport& transport) const {
  return cmd_at_arbitration(transport, can_id, kDisable);
}

DamiaoResult<MotorState> Damiao::control(CanTransport& transport,
                                         const ControlCommand& command) const {
  const auto at_offset = [&](std::uint16_t offset, const Payload& payload) {
    return cmd_at_arbitration(transport, static_cast<std::uint16_t>(can_id + offset), payload);
  };
  const auto bits = [](float value) { return std::bit_cast<std::uint32_t>(value); };
  if (const auto* mit = std::get_if<MitCommand>(&command)) {
    return at_offset(0, encode(limits, *mit));
  }
  Payload payload{};
  if (const auto* pos_vel = std::get_if<PosVelCommand>(&command)) {
    put_le32(payload, 0, bits(pos_vel->position));
    put_le32(payload, 4, bits(pos_vel->velocity));
    return at_offset(kPosVelOffset, payload);
  }
  if (const auto* vel = std::get_if<VelCommand>(&command)) {
    put_le32(payload, 0, bits(vel->velocity));
    return at_offset(kVelOffset, payload);
  }
  const auto& force_pos = std::get<ForcePosCommand>(command);
  put_le32(payload, 0, bits(force_pos.position));
  put_le16(payload, 4, force_pos_limit(force_pos.velocity_limit, 100.0f, 100.0f));
  put_le16(payload, 6, force_pos_limit(force_pos.current_limit, 1.0f, 10000.0f));
  return at_offset(kForcePosOffset, payload);
}

DamiaoResult<MotorState> Damiao::request_feedback(CanTransport& transport) const {
  return cmd_at_arbitration(transport, kManagementId, management_payload(can_id, kFeedback));
}

CanFrame Damiao::feedback_request() const {
  return classic_frame(kManagementId, management_payload(can_id, kFeedback));
}

bool Damiao::is_reply(const CanFrame& frame) const { return frame.id == wire_id(master_id); }

DamiaoResult<MotorState> Damiao::reply_state(const CanFrame& reply) const {
  // A short reply would be read past its end.
  if (reply.data.size() < Payload().size()) return failure(UnexpectedReply{reply.data});
  return decode_state(limits, std::span(reply.data).first<8>());
}

DamiaoResult<MotorState> Damiao::cmd_at_arbitration(CanTransport& transport,
                                                    std::uint16_t arbitration_id,
                                                    const Payload& payload) const {
  auto reply =
      transport.request(classic_frame(arbitration_id, payload), wire_id(master_id), timeout);
  if (!reply) return failure(reply.error());
  return reply_state(*reply);
}

DamiaoResult<RegisterValue> Damiao::read_register(CanTransport& transport,
                                                  std::uint8_t id) const {
  const RegisterInfo* info = lookup(id);
  if (info == nullptr) return failure(UnknownRegister{id});
  const auto request = classic_frame(kManagementId, management_payload(can_id, kReadRegister, id));
  // Recognised by content: the identifier the motor answers on is not checked.
  auto reply = exchange(transport, request, timeout, [&](const CanFrame& frame) {
    return frame.data.size() == 8 && frame.data[2] == kReadRegister && frame.data[3] == id;
  });
  if (!reply) return failure(reply.error());
  return RegisterValue{info->type, get_le32(reply->data, 4)};
}

DamiaoResult<void> Damiao::write_register(CanTransport& transport, std::uint8_t id,
                                          RegisterValue value) const {
  const RegisterInfo* info = lookup(id);
  if (info == nullptr) return failure(UnknownRegister{id});
  if (!info->writable) return failure(ReadOnly{id});
  if (value.type != info->type) return failure(TypeMismatch{id, info->type, value.type});
  const auto request =
      classic_frame(kManagementId, management_payload(can_id, kWriteRegister, id, value.bits));
  if (auto sent = transport.send(request); !sent) {
    return failure(sent.error());
  }
  return {};
}

DamiaoResult<void> Damiao::ensure_control_mode(CanTransport& transport, std::uint8_t mode) const {
  const auto read_mode = [&]() -> DamiaoResult<std::uint32_t> {
    auto value = read_register(transport, kControlModeRegister);
    if (!value) return std::unexpected(value.error());
    if (value->type != RegisterType::Uint32) {
      return failure(TypeMismatch{kControlModeRegister, RegisterType::Uint32, value->type});
    }
    return value->bits;
  };

  auto current = read_mode();
  if (!current) return std::unexpected(current.error());
  if (*current == mode) return {};
  if (auto written = write_register(transport, kControlModeRegister,
                                    RegisterValue::from_uint32(mode));
      !written) {
    return written;
  }
  std::this_thread::sleep_for(mode_switch_pause);
  current = read_mode();
  if (!current) return std::unexpected(current.error());
  if (*current != mode) {
    return failure(ModeVerifyFailed{mode, static_cast<std::uint8_t>(*current & 0xFF)});
  }
  return {};
}

}  // namespace vorlix::can_motor::damiao
