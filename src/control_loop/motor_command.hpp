// How the worker carries out the commands callers post, and the check each passes first.
#pragma once

#include <cstdint>

#include "common/poisoned_mutex.hpp"
#include "src/control_loop/loop_request.hpp"
#include "vorlix/controller.hpp"
#include "vorlix/motor_command.hpp"
#include "vorlix/motor_error.hpp"

namespace vorlix::control_loop {

using TorqueRecord = PoisonedMutex<MotorResult<bool>>;

// The worker discards command errors, so a value that must not reach a motor (NaN, an
// infinity) is refused here, on the poster's thread, with the text the direct controller gives.
controller::ControllerResult<void> check_command(const MotorCommand& command);

// Worker thread only. Executes one command; `last_torque` changes after a successful torque
// command.
controller::ControllerResult<void> handle_commands(controller::VorlixMotorController& controller,
                                                   TorqueRecord& last_torque, QueuedCommand command,
                                                   std::uint64_t allowed_retries);

}  // namespace vorlix::control_loop
