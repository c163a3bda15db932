// One Damiao motor on a shared CAN bus. A plain value: the caller passes the transport.
#pragma once

#include <chrono>
#include <cstdint>

#include "vorlix/damiao_error.hpp"
#include "can_motor/damiao/mit.hpp"
#include "can_motor/damiao/modes.hpp"
#include "can_motor/damiao/registers.hpp"
#include "vorlix/can_transport.hpp"

namespace vorlix::can_motor::damiao {

// The motor needs this long to apply a new control mode before it reports it.
inline constexpr std::chrono::milliseconds kModeSwitchPause{100};

struct Damiao {
  Duration timeout;
  MitLimits limits;
  std::uint16_t can_id;     // "ESC_ID": commands go here
  std::uint16_t master_id;  // "MST_ID": replies come from here
  // Between writing a new control mode and reading it back.
  Duration mode_switch_pause = kModeSwitchPause;

  DamiaoResult<MotorState> enable(CanTransport& transport) const;
  DamiaoResult<MotorState> disable(CanTransport& transport) const;
  DamiaoResult<MotorState> control(CanTransport& transport, const ControlCommand& command) const;
  DamiaoResult<MotorState> request_feedback(CanTransport& transport) const;
  // The feedback exchange in halves, so that several motors can be asked before any answers:
  // the request to send, whether a frame is this motor's reply, and the state it carries.
  CanFrame feedback_request() const;
  bool is_reply(const CanFrame& frame) const;
  DamiaoResult<MotorState> reply_state(const CanFrame& reply) const;
  DamiaoResult<MotorState> cmd_at_arbitration(CanTransport& transport,
                                              std::uint16_t arbitration_id,
                                              const Payload& payload) const;
  DamiaoResult<RegisterValue> read_register(CanTransport& transport, std::uint8_t id) const;
  DamiaoResult<void> write_register(CanTransport& transport, std::uint8_t id,
                                    RegisterValue value) const;
  DamiaoResult<void> ensure_control_mode(CanTransport& transport, std::uint8_t mode) const;
};

}  // namespace vorlix::can_motor::damiao
