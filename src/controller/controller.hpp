// The one object that owns both buses of the torso: the servo line and the neck's CAN socket.
// Used by one thread at a time; it has no lock of its own.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "can_motor/damiao/driver.hpp"
#include "can_motor/transport/socketcan_backend.hpp"
#include "servo_bus/feetech_protocol/protocol.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "src/controller/controller_error.hpp"

namespace vorlix::controller {

using NeckCommandSlot = can_motor::damiao::MitCommand;
using NeckArray = std::array<double, 3>;

inline constexpr std::array<std::string_view, 7> kMotorNames = {
    "left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
    "nose_top",       "nose_left",    "nose_right"};
inline constexpr std::array<std::uint8_t, 7> kServoIds = {1, 2, 3, 4, 5, 6, 7};
inline constexpr std::array<std::uint8_t, 4> kArmIds = {1, 2, 3, 4};
inline constexpr std::array<std::uint8_t, 2> kLeftArmIds = {1, 2};
inline constexpr std::array<std::uint8_t, 2> kRightArmIds = {3, 4};
inline constexpr std::array<std::uint8_t, 3> kNoseIds = {5, 6, 7};

// The neck motor table, in neck order (yaw, pitch, roll).
struct NeckJoint {
  std::string_view name;
  std::uint16_t can_id;
  std::uint16_t master_id;
  can_motor::damiao::MitLimits limits;
  float default_kp;
  float default_kd;
};
inline constexpr std::array<NeckJoint, 3> kNeckJoints = {{
    {"neck_yaw", 1, 1, {12.5F, 30.0F, 500.0F, 5.0F, 10.0F}, 30.0F, 1.0F},
    {"neck_pitch", 2, 2, {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}, 60.0F, 2.0F},
    {"neck_roll", 3, 3, {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}, 60.0F, 2.0F},
}};
inline constexpr std::chrono::milliseconds kNeckRequestTimeout{20};
inline constexpr std::array<std::pair<double, double>, 3> NECK_LIMITS = {
    {{-0.5, 0.5}, {0.0, 0.45}, {-0.4, 0.4}}};

inline constexpr std::string_view kNeckOnlyMessage =
    "serial port not configured (neck-only controller)";

enum class ServoGroup { Arm, LeftArm, RightArm, Nose };

// Logs a warning when the request is out of range; never fails.
double clamp_neck_position(std::size_t joint, double requested);
// Refusals of non-finite neck requests, worded by the setter that would send them.
ControllerResult<void> require_finite_neck_position(const NeckArray& positions);
ControllerResult<void> require_finite_neck_joint(std::size_t index, double position);

class VorlixMotorController {
 public:
  static ControllerResult<VorlixMotorController> create(
      const std::optional<std::string>& serial_port_path, const std::string& can_interface);

  VorlixMotorController(VorlixMotorController&&) noexcept = default;
  VorlixMotorController& operator=(VorlixMotorController&&) noexcept = default;
  VorlixMotorController(const VorlixMotorController&) = delete;
  VorlixMotorController& operator=(const VorlixMotorController&) = delete;
  ~VorlixMotorController();

  // Servo side.
  bool has_servo_bus() const { return serial_port_.has_value(); }
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
  bool is_neck_torque_enabled() const { return neck_torque_enabled_; }

  ControllerResult<NeckArray> neck_home(double speed, double tolerance, std::optional<float> kp,
                                        std::optional<float> kd);
  ControllerResult<std::array<double, 4>> set_arm_home(double verify_tol);
  ControllerResult<void> reboot(std::chrono::nanoseconds timeout);

 private:
  VorlixMotorController(std::optional<servo_bus::SerialPort> serial_port,
                        can_motor::SocketCanTransport can_transport);

  // The serial port, or the neck-only error.
  ControllerResult<servo_bus::SerialPort*> servo_port();
  ControllerResult<void> write_group_goal_positions(std::span<const std::uint8_t> ids,
                                                    std::span<const double> values);
  ControllerResult<void> write_group_torque(std::span<const std::uint8_t> ids, bool enable);

  std::array<can_motor::damiao::Damiao, 3> neck_motors_;
  servo_bus::FeetechProtocolHandler servo_handler_;
  // Members are destroyed in reverse order: the serial port closes before the CAN socket.
  can_motor::SocketCanTransport can_transport_;
  std::optional<servo_bus::SerialPort> serial_port_;
  std::array<NeckCommandSlot, 3> neck_slots_;
  // Made once and reused, so that a periodic reading allocates nothing.
  std::array<can_motor::CanFrame, 3> neck_feedback_requests_;
  can_motor::CanFrame neck_reply_;
  bool neck_torque_enabled_ = false;
};

}  // namespace vorlix::controller
