// The wait shared by every exchange that sends and then watches the bus for its answer.
#pragma once

#include <chrono>
#include <concepts>
#include <expected>

#include "vorlix/can_transport.hpp"

namespace vorlix::can_motor {

// Receives until `accept` takes a frame. The time-out runs from this call and covers every
// refused frame (those are consumed), so a busy bus still ends the wait on time.
template <std::predicate<const CanFrame&> Accept>
CanResult<CanFrame> await_frame(CanTransport& transport, Duration timeout, Accept accept) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  // Saturates, so that Duration::max() waits without limit instead of overflowing.
  const auto deadline =
      timeout > Clock::time_point::max() - start ? Clock::time_point::max() : start + timeout;
  for (Duration remaining = timeout;; remaining = deadline - Clock::now()) {
    // Under a microsecond counts as expired rather than as a last look at the queue.
    if (remaining < std::chrono::microseconds(1)) return std::unexpected(CanError::timeout());
    auto frame = transport.recv(remaining);
    if (!frame || accept(*frame)) return frame;
  }
}

// Discards the frames already waiting, sends `frame`, then waits as await_frame does, so an
// exchange only ever takes an answer that came after its own request.
template <std::predicate<const CanFrame&> Accept>
CanResult<CanFrame> exchange(CanTransport& transport, const CanFrame& frame, Duration timeout,
                             Accept accept) {
  if (auto drained = transport.discard_pending(); !drained) {
    return std::unexpected(drained.error());
  }
  if (auto sent = transport.send(frame); !sent) return std::unexpected(sent.error());
  return await_frame(transport, timeout, accept);
}

}  // namespace vorlix::can_motor
