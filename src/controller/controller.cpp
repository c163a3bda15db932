#include "src/controller/controller_state.hpp"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "can_motor/transport/socketcan_backend.hpp"
#include "common/format.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "servo_bus/servo/feetech/sts3025bl.hpp"

namespace vorlix::controller {

using servo_bus::IoError;
using servo_bus::IoErrorKind;
using servo_bus::ByteStream;

namespace {

std::span<const std::uint8_t> ids_of(ServoGroup group) {
  switch (group) {
    case ServoGroup::Arm:
      return kArmIds;
    case ServoGroup::LeftArm:
      return kLeftArmIds;
    case ServoGroup::RightArm:
      return kRightArmIds;
    case ServoGroup::Nose:
      return kNoseIds;
  }
  throw std::logic_error("unknown servo group");
}

bool is_arm_id(std::uint8_t id) { return id >= 1 && id <= 4; }
bool is_nose_id(std::uint8_t id) { return id >= 5 && id <= 7; }

// One register of all seven servos: the arm group first, then the nose group, which is not
// read when the arm read fails. Both models keep these registers alike, so one group
// operation serves the SM40BL arm and the STS3025BL nose.
template <class T>
using GroupRead = servo_bus::ServoResult<std::vector<T>> (*)(
    const servo_bus::FeetechProtocolHandler&, ByteStream&, std::span<const std::uint8_t>);

template <class T>
ControllerResult<std::array<T, 7>> read_arm_then_nose(
    const servo_bus::FeetechProtocolHandler& handler, ByteStream& port, GroupRead<T> read) {
  auto arm = read(handler, port, kArmIds);
  if (!arm) return std::unexpected(ControllerError(arm.error()));
  auto nose = read(handler, port, kNoseIds);
  if (!nose) return std::unexpected(ControllerError(nose.error()));
  std::array<T, 7> values{};
  std::ranges::copy(*arm, values.begin());
  std::ranges::copy(*nose, values.begin() + kArmIds.size());
  return values;
}

constexpr std::chrono::milliseconds kRawAnswerWindow{10};
constexpr std::chrono::milliseconds kRawPollPause{5};

}  // namespace

ControllerResult<VorlixMotorController> VorlixMotorController::create(
    const std::optional<std::string>& serial_port_path, const std::string& can_interface,
    const Timing& timing) {
  std::unique_ptr<ByteStream> serial_port;
  if (serial_port_path) {
    auto opened = servo_bus::SerialPort::open(*serial_port_path, timing.serial_wait);
    if (!opened) return std::unexpected(ControllerError(opened.error()));
    serial_port = std::make_unique<servo_bus::SerialPort>(std::move(*opened));
  }
  auto transport = can_motor::SocketCanTransport::open(can_interface);
  if (!transport) {
    // `serial_port` closes as this returns, so the port can be opened again at once.
    return std::unexpected(
        NeckFailure{fmt::format("failed to open CAN bus '{}'", can_interface), transport.error()});
  }
  return VorlixMotorController(
      std::move(serial_port),
      std::make_unique<can_motor::SocketCanTransport>(std::move(*transport)), timing);
}

VorlixMotorController::VorlixMotorController(std::unique_ptr<ByteStream> servo_line,
                                             std::unique_ptr<can_motor::CanTransport> can_bus,
                                             const Timing& timing)
    : state_(std::make_unique<State>()) {
  state_->timing = timing;
  state_->can_bus = std::move(can_bus);
  state_->servo_line = std::move(servo_line);
  for (std::size_t i = 0; i < kNeckJoints.size(); ++i) {
    const NeckJoint& joint = kNeckJoints[i];
    state_->neck_motors[i] =
        can_motor::damiao::Damiao{timing.neck_reply, joint.limits, joint.can_id, joint.master_id};
    state_->neck_slots[i] = NeckCommandSlot{0.0F, 0.0F, joint.default_kp, joint.default_kd, 0.0F};
    state_->neck_feedback_requests[i] = state_->neck_motors[i].feedback_request();
  }
}

VorlixMotorController::VorlixMotorController(VorlixMotorController&&) noexcept = default;
VorlixMotorController& VorlixMotorController::operator=(VorlixMotorController&&) noexcept = default;
VorlixMotorController::~VorlixMotorController() = default;

bool VorlixMotorController::has_servo_bus() const { return state_->servo_line != nullptr; }

bool VorlixMotorController::is_neck_torque_enabled() const { return state_->neck_torque_enabled; }

ControllerResult<ByteStream*> VorlixMotorController::servo_port() {
  if (!state_->servo_line) {
    return std::unexpected(ControllerError::message(std::string(kNeckOnlyMessage)));
  }
  return state_->servo_line.get();
}

std::vector<std::uint8_t> VorlixMotorController::check_missing_ids() {
  std::vector<std::uint8_t> missing;
  if (!state_->servo_line) return missing;
  for (const std::uint8_t id : kServoIds) {
    const auto answered = state_->servo_handler.ping(*state_->servo_line, id);
    if (!answered || !*answered) missing.push_back(id);
  }
  return missing;
}

std::unordered_map<std::string, std::uint8_t> VorlixMotorController::get_motor_name_id() {
  std::unordered_map<std::string, std::uint8_t> names;
  for (std::size_t i = 0; i < kMotorNames.size(); ++i) {
    names.emplace(kMotorNames[i], kServoIds[i]);
  }
  return names;
}

ControllerResult<bool> VorlixMotorController::is_torque_enabled() {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  const auto enabled =
      read_arm_then_nose<bool>(state_->servo_handler, **port, servo_bus::feetech::sync_read_torque_enable);
  if (!enabled) return std::unexpected(enabled.error());
  return std::ranges::all_of(*enabled, [](bool servo_enabled) { return servo_enabled; });
}

ControllerResult<void> VorlixMotorController::set_torque_on_ids(std::span<const std::uint8_t> ids,
                                                                bool enable) {
  if (ids.empty()) return {};
  std::vector<std::uint8_t> arm_part;
  std::vector<std::uint8_t> nose_part;
  for (const std::uint8_t id : ids) {
    if (is_arm_id(id)) arm_part.push_back(id);
    if (is_nose_id(id)) nose_part.push_back(id);
  }
  if (!arm_part.empty()) {
    if (auto written = write_group_torque(arm_part, enable); !written) return written;
  }
  if (!nose_part.empty()) return write_group_torque(nose_part, enable);
  return {};
}

ControllerResult<std::array<double, 7>> VorlixMotorController::read_all_positions() {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  // Into place, group by group: the control loop reads them every period.
  std::array<double, 7> positions{};
  const auto read_group = [&](std::span<const std::uint8_t> ids, std::size_t first) {
    return servo_bus::feetech::sync_read_present_position_into(
        state_->servo_handler, **port, ids, std::span(positions).subspan(first, ids.size()));
  };
  if (auto arm = read_group(kArmIds, 0); !arm) return std::unexpected(ControllerError(arm.error()));
  if (auto nose = read_group(kNoseIds, kArmIds.size()); !nose) {
    return std::unexpected(ControllerError(nose.error()));
  }
  return positions;
}

ControllerResult<std::array<std::uint8_t, 7>> VorlixMotorController::read_all_voltages() {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  return read_arm_then_nose<std::uint8_t>(state_->servo_handler, **port,
                                          servo_bus::feetech::sync_read_present_voltage);
}

ControllerResult<std::vector<std::uint8_t>> VorlixMotorController::write_raw_packet(
    std::span<const std::uint8_t> data) {
  if (!state_->servo_line) {
    return std::unexpected(
        ControllerError(IoError{IoErrorKind::Unsupported, std::string(kNeckOnlyMessage)}));
  }
  ByteStream& port = *state_->servo_line;
  if (auto written = port.write_all(data); !written) return std::unexpected(written.error());
  if (auto flushed = port.flush(); !flushed) return std::unexpected(flushed.error());

  const auto query = [&port]() -> std::expected<std::size_t, IoError> {
    auto waiting = port.bytes_to_read();
    if (!waiting) return std::unexpected(IoError{IoErrorKind::Other, waiting.error().text});
    return *waiting;
  };
  auto waiting = query();
  if (!waiting) return std::unexpected(waiting.error());
  if (*waiting == 0) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < kRawAnswerWindow) {
      std::this_thread::sleep_for(kRawPollPause);
      waiting = query();
      if (!waiting) return std::unexpected(waiting.error());
      if (*waiting > 0) break;
    }
  }
  std::vector<std::uint8_t> answer(*waiting);
  if (auto read = port.read_exact(answer); !read) return std::unexpected(read.error());
  return answer;
}

ControllerResult<std::vector<std::uint8_t>> VorlixMotorController::read_raw_bytes(
    std::uint8_t id, std::uint8_t address, std::uint8_t length) {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  auto bytes = state_->servo_handler.read(**port, id, address, length);
  if (!bytes) return std::unexpected(ControllerError(bytes.error()));
  return std::move(*bytes);
}

ControllerResult<void> VorlixMotorController::write_raw_bytes(std::uint8_t id,
                                                              std::uint8_t address,
                                                              std::span<const std::uint8_t> data) {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  auto written = state_->servo_handler.write(**port, id, address, data);
  if (!written) return std::unexpected(ControllerError(written.error()));
  return {};
}

ControllerResult<void> VorlixMotorController::write_group_goal_positions(
    std::span<const std::uint8_t> ids, std::span<const double> values) {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  // Both models keep the goal register alike (arm ids SM40BL, nose ids STS3025BL).
  auto written = servo_bus::feetech::sync_write_goal_position(state_->servo_handler, **port, ids, values);
  if (!written) return std::unexpected(ControllerError(written.error()));
  return {};
}

ControllerResult<void> VorlixMotorController::write_group_torque(std::span<const std::uint8_t> ids,
                                                                 bool enable) {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  const std::vector<bool> flags(ids.size(), enable);
  // Both models keep the torque register alike (arm ids SM40BL, nose ids STS3025BL).
  auto written = servo_bus::feetech::sync_write_torque_enable(state_->servo_handler, **port, ids, flags);
  if (!written) return std::unexpected(ControllerError(written.error()));
  return {};
}

ControllerResult<void> VorlixMotorController::write_goal_positions(ServoGroup group,
                                                                   std::span<const double> values) {
  return write_group_goal_positions(ids_of(group), values);
}

ControllerResult<void> VorlixMotorController::set_all_goal_positions(
    std::span<const double, 7> values) {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  // Converted as one, so a non-finite nose goal stops the arm part from going out too.
  const auto raw = servo_bus::feetech::goal_positions_to_raw(kServoIds, values);
  if (!raw) return std::unexpected(ControllerError(raw.error()));
  const std::span<const std::int16_t> goals(*raw);
  if (auto arm = servo_bus::sm40bl::sync_write_raw_goal_position(
          state_->servo_handler, **port, kArmIds, goals.first(kArmIds.size()));
      !arm) {
    return std::unexpected(ControllerError(arm.error()));
  }
  if (auto nose = servo_bus::sts3025bl::sync_write_raw_goal_position(
          state_->servo_handler, **port, kNoseIds, goals.last(kNoseIds.size()));
      !nose) {
    return std::unexpected(ControllerError(nose.error()));
  }
  return {};
}

ControllerResult<void> VorlixMotorController::set_group_torque(ServoGroup group, bool enable) {
  return write_group_torque(ids_of(group), enable);
}

ControllerResult<void> VorlixMotorController::set_all_torque(bool enable) {
  if (auto arm = write_group_torque(kArmIds, enable); !arm) return arm;
  return write_group_torque(kNoseIds, enable);
}

}  // namespace vorlix::controller
