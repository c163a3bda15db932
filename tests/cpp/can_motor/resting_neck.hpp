// Neck motors on vcan that answer every frame with their state, at rest at 0 rad: enough for
// the loop to start and read.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "can_motor/vcan_peer.hpp"
#include "support/instant_peers.hpp"

namespace vorlix::can_motor::test {

// The motors in `answering` answer; the others stay silent.
inline Responder::Answer resting_neck(std::set<std::uint32_t> answering) {
  constexpr std::uint32_t kServiceId = 0x7FF;
  return [answering = std::move(answering)](const WireFrame& in) {
    // A service frame names its motor in its first byte.
    const std::uint32_t motor = in.can_id == kServiceId ? in.data[0] : in.can_id;
    if (!answering.contains(motor)) return std::vector<WireFrame>{};
    const auto state = test_support::neck_state_at_zero(static_cast<std::uint8_t>(motor));
    return std::vector{classic(motor, {state.begin(), state.end()})};
  };
}

}  // namespace vorlix::can_motor::test
