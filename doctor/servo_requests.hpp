// The doctor's exchanges with one servo: a request, and only the reply that belongs to it.
// A Feetech reply carries no more than the servo's id and its data, so a late reply to an
// earlier request (a busy machine, a slow adapter) would pass for the reply to the next one;
// the doctor asks each of a servo's requests for a different number of bytes, and takes a
// reply only when both its id and its length match.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include <vorlix/byte_stream.hpp>
#include <vorlix/servo_bus_error.hpp>

#include "servo_bus/feetech_protocol/feetech.hpp"

namespace vorlix::doctor {

// How often a servo's request is sent before the servo counts as silent; each try waits
// three times as long as the one before, for a machine busy for a while. A reply to an
// earlier try answers a later one, as it holds the same register.
inline constexpr int kServoRequestTries = 3;

// Sends `request` (draining stale input first) and waits for the reply from its servo with
// `data_bytes` data bytes, discarding every other reply, up to `tries` times, the first for
// `reply_wait`. The reply's data; none when no reply belonged to the request; an error when
// the line itself failed.
servo_bus::ServoResult<std::optional<std::vector<std::uint8_t>>> ask(
    servo_bus::ByteStream& line, const servo_bus::FramedInstruction& request,
    std::size_t data_bytes, std::chrono::nanoseconds reply_wait, int tries);

}  // namespace vorlix::doctor
