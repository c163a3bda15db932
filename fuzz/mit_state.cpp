// The MIT state decoder, straight and through the driver's feedback request on a bus
// scripted by the fuzzer. A decoded state is finite and within the motor's ranges, and
// encoding it again gives back its wire counts (or one less, from the truncation).
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <variant>

#include "can_motor/damiao/driver.hpp"
#include "fuzz/check.hpp"
#include "fuzz/scripted_bus.hpp"
#include "src/controller/neck_table.hpp"

using namespace vorlix::can_motor;
using namespace vorlix::can_motor::damiao;
using vorlix::fuzz::require;
using vorlix::fuzz::ScriptedBus;

namespace {

bool within(float value, float range) {
  // The decoder's last step may round a hair past the range.
  return std::isfinite(value) && std::abs(value) <= range * (1.0f + 1e-6f);
}

// Encoded again, a decoded field gives its count, or one less from the truncation.
bool comes_back(std::uint32_t count, std::uint32_t encoded) {
  return encoded == count || encoded + 1 == count;
}

void require_sound(const MitLimits& limits, const MotorState& state,
                   std::span<const std::uint8_t, 8> payload) {
  require(within(state.position, limits.p_max) && within(state.velocity, limits.v_max) &&
              within(state.torque, limits.t_max),
          "a decoded state is finite and within the motor's ranges");
  const Payload p = encode(limits, {state.position, 0.0f, 0.0f, 0.0f, 0.0f});
  const Payload v = encode(limits, {0.0f, state.velocity, 0.0f, 0.0f, 0.0f});
  const Payload t = encode(limits, {0.0f, 0.0f, 0.0f, 0.0f, state.torque});
  require(comes_back(std::uint32_t{payload[1]} << 8 | payload[2],
                     std::uint32_t{p[0]} << 8 | p[1]) &&
              comes_back(std::uint32_t{payload[3]} << 4 | payload[4] >> 4,
                         std::uint32_t{v[2]} << 4 | v[3] >> 4) &&
              comes_back((std::uint32_t{payload[4]} & 0x0F) << 8 | payload[5],
                         (std::uint32_t{t[6]} & 0x0F) << 8 | t[7]),
          "position, velocity and torque encode back to their counts");
  require(state.motor_id == (payload[0] & 0x0F) && state.status == payload[0] >> 4 &&
              state.driver_temperature == payload[6] && state.rotor_temperature == payload[7],
          "the byte fields are read as they are");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto& joint = vorlix::controller::kNeckJoints[input.ConsumeIntegralInRange<std::size_t>(0, 2)];
  // The neck's own ranges, or others a motor might be given.
  MitLimits limits = joint.limits;
  if (input.ConsumeBool()) {
    for (float* range : {&limits.p_max, &limits.v_max, &limits.t_max}) {
      *range = input.ConsumeFloatingPointInRange(1e-3f, 1e6f);
    }
  }
  std::array<std::uint8_t, 8> payload{};
  input.ConsumeData(payload.data(), payload.size());
  require_sound(limits, decode_state(limits, payload), payload);

  ScriptedBus bus(input);
  // No deadline: a descheduled run must not time out with the reply still queued.
  const Damiao motor{.timeout = Duration::max(),
                     .limits = limits,
                     .can_id = joint.can_id,
                     .master_id = joint.master_id};
  const auto state = motor.request_feedback(bus);
  const auto reply =
      bus.first([&](const CanFrame& frame) { return frame.id == CanId::standard(joint.master_id); });
  if (!reply) {
    require(!state && state.error() == DamiaoError(CanError::timeout()),
            "no reply from the motor's id times out");
  } else if (reply->data.size() < 8) {
    require(!state && state.error() == DamiaoError(UnexpectedReply{reply->data}),
            "a short reply is refused with its bytes");
  } else {
    require(state.has_value(), "the first reply from the motor's id is decoded");
    require_sound(limits, *state, std::span(reply->data).first<8>());
  }
  return 0;
}
