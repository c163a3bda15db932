// The requests only the loop itself makes (async_read_raw_bytes, write_raw_packet), each with
// the worker's end of its reply, and what the worker's queue holds: a command a caller posted
// or such a request.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>

#include "src/control_loop/reply_channel.hpp"
#include "vorlix/motor_command.hpp"

namespace vorlix::control_loop {

struct ReadRawBytes {
  std::uint8_t id;
  std::uint8_t address;
  std::uint8_t length;
  ReplySender<RawBytes> reply;
};
struct WriteRawPacket {
  RawBytes packet;
  ReplySender<RawBytes> reply;
};

namespace detail {
template <class Commands, class... Requests>
struct WithRequests;
template <class... Commands, class... Requests>
struct WithRequests<std::variant<Commands...>, Requests...> {
  using type = std::variant<Commands..., Requests...>;
};
}  // namespace detail

// One flat variant, so that the worker visits every kind alike: the posted commands keep
// their MotorCommand indices, the requests come after them.
using QueuedCommand = detail::WithRequests<MotorCommand, ReadRawBytes, WriteRawPacket>::type;

inline QueuedCommand to_queued(MotorCommand command) {
  return std::visit([](auto& body) -> QueuedCommand { return std::move(body); }, command);
}

// Back from a queued command that `to_queued` made.
inline MotorCommand to_posted(QueuedCommand command) {
  return std::visit(
      [](auto& body) -> MotorCommand {
        if constexpr (std::is_constructible_v<MotorCommand, decltype(std::move(body))>) {
          return std::move(body);
        } else {
          std::unreachable();  // to_queued never makes a request
        }
      },
      command);
}

}  // namespace vorlix::control_loop
