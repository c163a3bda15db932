#include "vorlix/can_transport.hpp"

#include <system_error>
#include <utility>

#include "can_motor/transport/await_frame.hpp"
#include "common/format.hpp"

namespace vorlix::can_motor {

std::string CanError::text() const {
  switch (kind_) {
    case Kind::Timeout:
      return "timeout waiting for frame";
    case Kind::FrameTooLarge:
      return fmt::format("frame too large for selected mode: {} bytes", length_);
    case Kind::InvalidId:
      return "invalid CAN id";
    case Kind::Backend:
      return fmt::format("backend error: {}", std::generic_category().message(system_error_));
  }
  std::unreachable();
}

CanResult<void> CanTransport::recv_into(CanFrame& frame, Duration timeout) {
  auto received = recv(timeout);
  if (!received) return std::unexpected(received.error());
  frame = std::move(*received);
  return {};
}

CanResult<void> CanTransport::discard_pending() {
  for (;;) {
    auto frame = recv(Duration::zero());
    if (!frame) {
      if (frame.error().kind() == CanError::Kind::Timeout) return {};
      return std::unexpected(frame.error());
    }
  }
}

CanResult<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected,
                                          Duration timeout) {
  return exchange(*this, frame, timeout,
                  [&](const CanFrame& reply) { return reply.id == expected; });
}

}  // namespace vorlix::can_motor
