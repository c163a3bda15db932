// The one object that owns both buses of the torso: the servo line and the neck's CAN bus.
// Used by one thread at a time; it has no lock of its own.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
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

// The torso table's orders: of every seven-element servo array and every neck array.
using torso::kMotorNames;
using torso::kNeckNames;
using torso::kServoIds;
using torso::ServoGroup;

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
  // The real buses: the serial port at `serial_port_path` (none: a neck-only controller) and
  // the SocketCAN interface `can_interface`.
  static ControllerResult<VorlixMotorController> create(
      const std::optional<std::string>& serial_port_path, const std::string& can_interface,
      const Timing& timing = {});
  // Given buses; without a servo line the controller is neck-only. Sends nothing.
  VorlixMotorController(std::unique_ptr<servo_bus::ByteStream> servo_line,
                        std::unique_ptr<can_motor::CanTransport> can_bus,
                        const Timing& timing = {});

  VorlixMotorController(VorlixMotorController&&) noexcept;
  VorlixMotorController& operator=(VorlixMotorController&&) noexcept;
  VorlixMotorController(const VorlixMotorController&) = delete;
  VorlixMotorController& operator=(const VorlixMotorController&) = delete;
  ~VorlixMotorController();  // closes the servo line, then the CAN bus; sends nothing

  // Servo side.
  bool has_servo_bus() const;
  const Timing& timing() const;
  std::vector<std::uint8_t> check_missing_ids();
  static std::unordered_map<std::string, std::uint8_t> get_motor_name_id();
  ControllerResult<bool> is_torque_enabled();
  ControllerResult<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable);
  ControllerResult<std::array<double, 7>> read_all_positions();
  ControllerResult<std::array<std::uint8_t, 7>> read_all_voltages();
  ControllerResult<std::vector<std::uint8_t>> write_raw_packet(std::span<const std::uint8_t> data);
  // One servo's registers, through the protocol handler.
  ControllerResult<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                             std::uint8_t length);
  ControllerResult<void> write_raw_bytes(std::uint8_t id, std::uint8_t address,
                                         std::span<const std::uint8_t> data);
  // Goal positions: one value per id of the group. Torque: one flag for the whole group.
  ControllerResult<void> write_goal_positions(ServoGroup group, std::span<const double> values);
  ControllerResult<void> set_all_goal_positions(std::span<const double, 7> values);
  ControllerResult<void> set_group_torque(ServoGroup group, bool enable);
  ControllerResult<void> set_all_torque(bool enable);

  // Neck.
  ControllerResult<void> enable_neck(bool enable);
  ControllerResult<void> set_neck_gains(std::size_t index, float kp, float kd);
  ControllerResult<NeckArray> command_neck_mit(const NeckArray& positions, std::string_view label);
  // Refuses non-finite requests, clamps each joint, then commands the whole neck.
  ControllerResult<NeckArray> set_neck_position(const NeckArray& positions);
  ControllerResult<double> set_single_neck_joint(std::size_t index, double position);
  ControllerResult<NeckArray> read_neck_positions();
  // read_neck_positions in two halves, so that the servo line can be read while the replies
  // queue in the socket: all three requests go out, and the deadline they return is the one
  // the collection waits for (after it, only replies already queued are taken).
  ControllerResult<std::chrono::steady_clock::time_point> request_neck_feedback();
  ControllerResult<NeckArray> collect_neck_feedback(std::chrono::steady_clock::time_point deadline);
  std::vector<std::string> check_missing_neck_motors();
  bool is_neck_torque_enabled() const;

  ControllerResult<NeckArray> neck_home(double speed, double tolerance, std::optional<float> kp,
                                        std::optional<float> kd);
  ControllerResult<std::array<double, 4>> set_arm_home(double verify_tol);
  ControllerResult<void> reboot(std::chrono::nanoseconds timeout);

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
