// The worker's reading of the whole torso.
#pragma once

#include <cstdint>

#include "vorlix/controller.hpp"
#include "vorlix/motor_error.hpp"
#include "vorlix/torso_position.hpp"

namespace vorlix::control_loop {

// The seven servos under the retry rule (zeros without a servo bus) and the neck once, the
// neck's requests on their bus while the servos are read on theirs.
MotorResult<VorlixTorsoPosition> read_pos(controller::VorlixMotorController& controller,
                                          std::uint64_t allowed_retries);

}  // namespace vorlix::control_loop
