// The one object that owns both buses of the torso: the servo line and the neck's CAN bus.
//
// Contracts, unless a function says otherwise:
// - Threads: one thread at a time, any thread; the object has no lock of its own (a control
//   loop owns its controller and uses it only on its worker).
// - Units: radians, rad/s, N·m, seconds; supply voltages in tenths of a volt.
// - Blocking: a servo exchange waits at most Timing::serial_wait for each readiness of the
//   line (several per exchange) after draining stale input (at most 3 × 5 ms); a neck
//   exchange waits at most Timing::neck_reply per motor. A failed call may have carried out
//   the exchanges before the failing one.
// - Errors: ControllerError, never an exception; a refused argument is refused before
//   anything is sent. Without a servo line every servo call fails with the neck-only error
//   (IoErrorKind::Unsupported for write_raw_packet).
// - Logs through <vorlix/log.hpp> on the calling thread.
// - Nothing here is real-time safe: every bus call does I/O and most allocate.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <vorlix/byte_stream.hpp>
#include <vorlix/can_transport.hpp>
#include <vorlix/controller_error.hpp>
#include <vorlix/torso.hpp>

namespace vorlix::controller {

using NeckArray = std::array<double, 3>;  // yaw, pitch, roll

// What the neck's MIT replies carry, each array in neck order.
struct NeckFeedback {
  NeckArray position;  // rad
  NeckArray velocity;  // rad/s
  NeckArray torque;    // N·m
};

// The torso table's orders: of every seven-element servo array and every neck array.
using torso::kMotorNames;
using torso::kNeckNames;
using torso::kServoIds;
using torso::ServoGroup;

// The joint at `index` in neck order; "neck index out of range: {index}" past the neck.
ControllerResult<torso::NeckJoint> neck_joint_at(std::size_t index);

// The controller's waits. The defaults are the torso's; tests shorten or lengthen them.
struct Timing {
  // Each wait of the serial port `create` opens for readability or writability.
  std::chrono::nanoseconds serial_wait = servo_bus::kSerialWaitTimeout;
  // Each neck motor's reply.
  std::chrono::nanoseconds neck_reply = std::chrono::milliseconds(20);
  // Between two cycles of neck homing (each cycle moves the set-point by speed × 10 ms).
  std::chrono::nanoseconds homing_pause = std::chrono::milliseconds(10);
  // Between two rounds of pings while servos reboot.
  std::chrono::nanoseconds reboot_ping_pause = std::chrono::milliseconds(100);
  // How long write_raw_packet waits for the first byte of an answer.
  std::chrono::nanoseconds raw_answer_window = std::chrono::milliseconds(10);
  // Between two attempts of a control loop's servo read that timed out.
  std::chrono::nanoseconds retry_pause = std::chrono::milliseconds(20);
};

class VorlixMotorController {
 public:
  // Opens the serial port at `serial_port_path` (none: a neck-only controller) and the
  // SocketCAN interface `can_interface`. Sends nothing. Fails with the serial port's or the
  // CAN bus's error; the serial port is closed again when the CAN bus fails.
  static ControllerResult<VorlixMotorController> create(
      const std::optional<std::string>& serial_port_path, const std::string& can_interface,
      const Timing& timing = {});
  // Takes given buses (without a servo line the controller is neck-only). Sends nothing.
  VorlixMotorController(std::unique_ptr<servo_bus::ByteStream> servo_line,
                        std::unique_ptr<can_motor::CanTransport> can_bus,
                        const Timing& timing = {});

  VorlixMotorController(VorlixMotorController&&) noexcept;
  VorlixMotorController& operator=(VorlixMotorController&&) noexcept;
  VorlixMotorController(const VorlixMotorController&) = delete;
  VorlixMotorController& operator=(const VorlixMotorController&) = delete;
  ~VorlixMotorController();  // closes the servo line, then the CAN bus; sends nothing

  // Servo side.

  // No I/O.
  bool has_servo_bus() const;
  const Timing& timing() const;
  static std::unordered_map<std::string, std::uint8_t> get_motor_name_id();
  // Pings the seven servos: the ids that did not answer, in table order. Never fails; none
  // without a servo line. Up to seven exchanges.
  std::vector<std::uint8_t> check_missing_ids();
  // True when every servo reports its torque on. Two sync reads.
  ControllerResult<bool> is_torque_enabled();
  // Torque on or off (side effect: the servos hold or go limp) for the given ids, line group
  // by line group; ids outside the table are skipped. One sync write per group concerned.
  ControllerResult<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable);
  // Present positions, rad, in table order (kMotorNames). Two sync reads.
  ControllerResult<std::array<double, 7>> read_all_positions();
  // Present supply voltages, tenths of a volt, in table order. Two sync reads.
  ControllerResult<std::array<std::uint8_t, 7>> read_all_voltages();
  // Writes `data` to the line as it is (no framing, no check: any instruction, EEPROM writes
  // included), then returns, as soon as a first byte has come, what has arrived by then,
  // waiting at most Timing::raw_answer_window for it (empty: no answer). Later bytes stay in
  // the line for the next exchange to drain.
  ControllerResult<std::vector<std::uint8_t>> write_raw_packet(std::span<const std::uint8_t> data);
  // `length` bytes of servo `id`'s registers from `address`: one read exchange.
  ControllerResult<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                             std::uint8_t length);
  // Writes `data` (at most 252 bytes, else refused) at `address` of servo `id`: one write
  // exchange. Side effect: whatever the registers do, EEPROM included.
  ControllerResult<void> write_raw_bytes(std::uint8_t id, std::uint8_t address,
                                         std::span<const std::uint8_t> data);
  // Goal positions, rad, one per id of the group in table order (refused otherwise, and when
  // one is not finite): one sync write, no reply awaited.
  ControllerResult<void> write_goal_positions(ServoGroup group, std::span<const double> values);
  // All seven goals in table order; every goal is checked before the first write goes out.
  ControllerResult<void> set_all_goal_positions(std::span<const double, 7> values);
  // Torque on or off for the whole group, or for all seven servos: one sync write per group.
  ControllerResult<void> set_group_torque(ServoGroup group, bool enable);
  ControllerResult<void> set_all_torque(bool enable);

  // Neck.

  // Enable: each motor is switched to MIT mode if it is not (a register write) and enabled,
  // so that it holds its set-point with its gains. Disable: each motor goes limp. Stops at
  // the first motor that fails, leaving the ones before it changed.
  ControllerResult<void> enable_neck(bool enable);
  // The gains the joint's later commands carry (kp in N·m/rad, kd in N·m·s/rad). No I/O;
  // refuses a joint outside the neck and gains that are not finite.
  ControllerResult<void> set_neck_gains(torso::NeckJoint joint, float kp, float kd);
  // Commands the three motors to `positions` as given (no clamping, no check), in neck
  // order; their replies' positions. For the library's own loops: prefer set_neck_position.
  ControllerResult<NeckArray> command_neck_mit(const NeckArray& positions, std::string_view label);
  // Refuses non-finite requests, clamps each joint into its limits (logging a warning for a
  // clamped one), then commands the whole neck: the positions its replies report.
  ControllerResult<NeckArray> set_neck_position(const NeckArray& positions);
  // The same for one joint: the position its reply reports.
  ControllerResult<double> set_single_neck_joint(torso::NeckJoint joint, double position);
  // Asks each motor for its state in turn: positions, rad.
  ControllerResult<NeckArray> read_neck_positions();
  // read_neck_positions in two halves, so that the servo line can be read while the replies
  // queue in the socket: all three requests go out, and the deadline they return is the one
  // the collection waits for (after it, only replies already queued are taken). After a
  // collection that timed out, the next request first waits its replies out (at most
  // Timing::neck_reply). No allocation once the controller is built.
  ControllerResult<std::chrono::steady_clock::time_point> request_neck_feedback();
  ControllerResult<NeckFeedback> collect_neck_feedback(
      std::chrono::steady_clock::time_point deadline);
  // Asks each motor for its state: the names of those that did not answer. Never fails.
  std::vector<std::string> check_missing_neck_motors();
  // Whether enable_neck(true) (or neck_home) last succeeded. No I/O.
  bool is_neck_torque_enabled() const;

  // Moves each neck joint at `speed` rad/s to the multiple of 2π nearest to where it stands,
  // until each is within `tolerance` rad (kp, kd: the gains to use from now on). Enables the
  // neck's torque. Blocks for as long as the travel takes: one command round and one
  // Timing::homing_pause per cycle of speed × 10 ms rad, at most about π / speed s + 20 s
  // with the default pause and prompt motors. Ends early with
  // "neck_home: interrupted" when `stop` is requested (at once, during a pause) or on the
  // bindings' Ctrl-C, the neck holding the last set-point; "neck_home: timed out ..." when a
  // joint does not settle. Refuses speed and tolerance that are not positive or speeds out
  // of range before anything is sent.
  ControllerResult<NeckArray> neck_home(double speed, double tolerance, std::optional<float> kp,
                                        std::optional<float> kd, std::stop_token stop = {});
  // Zeroes the arms' positions where they stand by writing new offsets to the four arm
  // servos' EEPROM (unlock, write, lock): side effects that survive a power cycle. Turns the
  // arms' torque off first and leaves it off. The verified positions, or an error that names the offsets
  // to restore by hand.
  ControllerResult<std::array<double, 4>> set_arm_home(double verify_tol);
  // Reboots the seven servos and waits until each answers a
  // ping again, pausing Timing::reboot_ping_pause between rounds: at most about `timeout`.
  // Ends early with "reboot: interrupted" when `stop` is requested or on Ctrl-C. Nothing
  // without a servo line.
  ControllerResult<void> reboot(std::chrono::nanoseconds timeout, std::stop_token stop = {});

  // For the control loop's reconnection: `line` (never null) or `bus` is used from now on,
  // and the one it replaces is handed back.
  std::unique_ptr<servo_bus::ByteStream> replace_servo_line(
      std::unique_ptr<servo_bus::ByteStream> line);
  std::unique_ptr<can_motor::CanTransport> replace_can_bus(
      std::unique_ptr<can_motor::CanTransport> bus);

 private:
  // The servo line, or the neck-only error.
  ControllerResult<servo_bus::ByteStream*> servo_port();
  ControllerResult<void> write_group_goal_positions(const servo_bus::ServoModel& model,
                                                    std::span<const std::uint8_t> ids,
                                                    std::span<const double> values);
  ControllerResult<void> write_group_torque(const servo_bus::ServoModel& model,
                                            std::span<const std::uint8_t> ids, bool enable);

  struct State;  // the buses, the drivers and the neck's command slots
  std::unique_ptr<State> state_;
};

}  // namespace vorlix::controller
