#include "doctor/servo_requests.hpp"

#include "servo_bus/feetech_protocol/protocol.hpp"

namespace vorlix::doctor {

servo_bus::ServoResult<std::optional<std::vector<std::uint8_t>>> ask(
    servo_bus::ByteStream& line, const servo_bus::FramedInstruction& request,
    std::size_t data_bytes, std::chrono::nanoseconds reply_wait, int tries) {
  using servo_bus::Protocol;
  using Clock = std::chrono::steady_clock;
  auto wait = reply_wait;
  for (int attempt = 0; attempt < tries; ++attempt, wait *= 3) {
    if (auto sent = Protocol::send_instruction_packet(line, request); !sent) {
      return std::unexpected(sent.error());
    }
    const auto deadline = Clock::now() + wait;
    servo_bus::StatusBuffer buffer;
    do {
      const auto reply = Protocol::read_status_packet(line, request.id(), buffer);
      if (reply && reply->size() == data_bytes) {
        return std::vector<std::uint8_t>(reply->begin(), reply->end());
      }
      if (!reply) {
        const auto kind = reply.error().io_kind();
        if (kind && kind != servo_bus::IoErrorKind::TimedOut) return std::unexpected(reply.error());
      }
      // Nothing yet, another servo's reply, one of another length, a corrupted one.
    } while (Clock::now() < deadline);
  }
  return std::nullopt;
}

}  // namespace vorlix::doctor
