// The neck's checks that need only its bus: each motor's answer and the registers the
// controller relies on. They send feedback requests and register reads, never a command or
// a write, so any CAN transport will do: SocketCAN, or a bus in memory.
#pragma once

#include <vorlix/can_transport.hpp>
#include <vorlix/controller.hpp>

#include "doctor/report.hpp"

namespace vorlix::doctor {

// Each of the three motors: does it answer a feedback request, then its control mode, PMAX,
// VMAX, TMAX, MST_ID and TIMEOUT, a row each. Each reply is waited for `reply_wait`.
void check_neck_motors(Report& report, can_motor::CanTransport& bus,
                       can_motor::Duration reply_wait = controller::Timing{}.neck_reply);

}  // namespace vorlix::doctor
