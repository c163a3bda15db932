#include "src/controller/controller_state.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "can_motor/transport/socketcan_backend.hpp"
#include "common/format.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "servo_bus/servo/feetech/group_ops.hpp"
#include "src/controller/servo_goals.hpp"

namespace vorlix::controller {

namespace feetech = servo_bus::feetech;
using servo_bus::IoError;
using servo_bus::IoErrorKind;
using servo_bus::ByteStream;

namespace {

using torso::ids_of;
using torso::model_of;

// The line group `id` belongs to; none for an id outside the table.
std::optional<ServoGroup> line_group_of(std::uint8_t id) {
  for (const ServoGroup group : torso::kLineGroups) {
    if (std::ranges::find(ids_of(group), id) != ids_of(group).end()) return group;
  }
  return std::nullopt;
}

// One register of all seven servos, line group by line group; a group's failure is returned
// without reading the groups after it.
template <class T>
using GroupRead = servo_bus::ServoResult<std::vector<T>> (*)(
    const servo_bus::ServoModel&, const servo_bus::FeetechProtocolHandler&, ByteStream&,
    std::span<const std::uint8_t>);

template <class T>
ControllerResult<std::array<T, torso::kServos.size()>> read_line(
    const servo_bus::FeetechProtocolHandler& handler, ByteStream& port, GroupRead<T> read) {
  std::array<T, torso::kServos.size()> values{};
  auto out = values.begin();
  for (const ServoGroup group : torso::kLineGroups) {
    auto part = read(model_of(group), handler, port, ids_of(group));
    if (!part) return std::unexpected(ControllerError(part.error()));
    out = std::ranges::copy(*part, out).out;
  }
  return values;
}

// A value cast into ServoGroup from outside the enumeration names no servo and no model.
ControllerResult<void> require_known_group(ServoGroup group) {
  if (!ids_of(group).empty()) return {};
  return std::unexpected(ControllerError(
      ErrorKind::Refused, fmt::format("unknown servo group: {}", static_cast<unsigned>(group))));
}

}  // namespace

ControllerResult<std::vector<std::uint16_t>> group_goals_to_words(ServoGroup group,
                                                                  std::span<const double> values) {
  auto words = feetech::goal_positions_to_words(model_of(group), ids_of(group), values);
  if (!words) return std::unexpected(ControllerError(words.error()));
  return std::move(*words);
}

ControllerResult<LineGoalWords> all_goals_to_words(std::span<const double, 7> values) {
  LineGoalWords words;
  std::size_t first = 0;
  for (std::size_t i = 0; i < torso::kLineGroups.size(); ++i) {
    const ServoGroup group = torso::kLineGroups[i];
    const std::size_t count = ids_of(group).size();
    auto converted = group_goals_to_words(group, values.subspan(first, count));
    if (!converted) return std::unexpected(std::move(converted).error());
    words[i] = std::move(*converted);
    first += count;
  }
  return words;
}

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

std::unique_ptr<ByteStream> VorlixMotorController::replace_servo_line(
    std::unique_ptr<ByteStream> line) {
  return std::exchange(state_->servo_line, std::move(line));
}

std::unique_ptr<can_motor::CanTransport> VorlixMotorController::replace_can_bus(
    std::unique_ptr<can_motor::CanTransport> bus) {
  // Replies the old bus still owed can never arrive on this one.
  state_->neck_late_until.reset();
  return std::exchange(state_->can_bus, std::move(bus));
}

bool VorlixMotorController::has_servo_bus() const { return state_->servo_line != nullptr; }

const Timing& VorlixMotorController::timing() const { return state_->timing; }

bool VorlixMotorController::is_neck_torque_enabled() const { return state_->neck_torque_enabled; }

ControllerResult<ByteStream*> VorlixMotorController::servo_port() {
  if (!state_->servo_line) {
    return std::unexpected(ControllerError(ErrorKind::NoServoLine, std::string(kNeckOnlyMessage)));
  }
  return state_->servo_line.get();
}

std::vector<std::uint8_t> VorlixMotorController::check_missing_ids() {
  std::vector<std::uint8_t> missing;
  if (!state_->servo_line) return missing;
  for (const std::uint8_t id : torso::kServoIds) {
    const auto answered = state_->servo_handler.ping(*state_->servo_line, id);
    if (!answered || !*answered) missing.push_back(id);
  }
  return missing;
}

std::unordered_map<std::string, std::uint8_t> VorlixMotorController::get_motor_name_id() {
  std::unordered_map<std::string, std::uint8_t> names;
  for (const torso::Servo& servo : torso::kServos) names.emplace(servo.name, servo.id);
  return names;
}

ControllerResult<bool> VorlixMotorController::is_torque_enabled() {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  const auto enabled = read_line<bool>(state_->servo_handler, **port,
                                       feetech::sync_read_torque_enable);
  if (!enabled) return std::unexpected(enabled.error());
  return std::ranges::all_of(*enabled, [](bool servo_enabled) { return servo_enabled; });
}

ControllerResult<void> VorlixMotorController::set_torque_on_ids(std::span<const std::uint8_t> ids,
                                                                bool enable) {
  if (ids.empty()) return {};
  // Each line group's part keeps the given order; ids outside the table are dropped.
  for (const ServoGroup group : torso::kLineGroups) {
    std::vector<std::uint8_t> part;
    for (const std::uint8_t id : ids) {
      if (line_group_of(id) == group) part.push_back(id);
    }
    if (part.empty()) continue;
    if (auto written = write_group_torque(model_of(group), part, enable); !written) return written;
  }
  return {};
}

ControllerResult<std::array<double, 7>> VorlixMotorController::read_all_positions() {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  // Into place, group by group: the control loop reads them every period.
  std::array<double, 7> positions{};
  std::size_t first = 0;
  for (const ServoGroup group : torso::kLineGroups) {
    const auto ids = ids_of(group);
    if (auto read = feetech::sync_read_present_position_into(
            model_of(group), state_->servo_handler, **port, ids,
            std::span(positions).subspan(first, ids.size()));
        !read) {
      return std::unexpected(ControllerError(read.error()));
    }
    first += ids.size();
  }
  return positions;
}

ControllerResult<std::array<std::uint8_t, 7>> VorlixMotorController::read_all_voltages() {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  return read_line<std::uint8_t>(state_->servo_handler, **port,
                                 feetech::sync_read_present_voltage);
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

  // Only what has come by the first sight of an answer: what arrives later stays in the port.
  const auto waiting = port.wait_readable(state_->timing.raw_answer_window);
  if (!waiting) return std::unexpected(waiting.error());
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
    const servo_bus::ServoModel& model, std::span<const std::uint8_t> ids,
    std::span<const double> values) {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  auto written =
      feetech::sync_write_goal_position(model, state_->servo_handler, **port, ids, values);
  if (!written) return std::unexpected(ControllerError(written.error()));
  return {};
}

ControllerResult<void> VorlixMotorController::write_group_torque(
    const servo_bus::ServoModel& model, std::span<const std::uint8_t> ids, bool enable) {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  const std::vector<bool> flags(ids.size(), enable);
  auto written =
      feetech::sync_write_torque_enable(model, state_->servo_handler, **port, ids, flags);
  if (!written) return std::unexpected(ControllerError(written.error()));
  return {};
}

ControllerResult<void> VorlixMotorController::write_goal_positions(ServoGroup group,
                                                                   std::span<const double> values) {
  if (auto known = require_known_group(group); !known) return known;
  return write_group_goal_positions(model_of(group), ids_of(group), values);
}

ControllerResult<void> VorlixMotorController::set_all_goal_positions(
    std::span<const double, 7> values) {
  auto port = servo_port();
  if (!port) return std::unexpected(port.error());
  // Every group's goals are converted before any goes out, so a non-finite nose goal stops
  // the arm part too.
  const auto words = all_goals_to_words(values);
  if (!words) return std::unexpected(words.error());
  for (std::size_t i = 0; i < torso::kLineGroups.size(); ++i) {
    const ServoGroup group = torso::kLineGroups[i];
    if (auto written = feetech::sync_write_words(state_->servo_handler, **port, ids_of(group),
                                                 model_of(group).goal_position, (*words)[i]);
        !written) {
      return std::unexpected(ControllerError(written.error()));
    }
  }
  return {};
}

ControllerResult<void> VorlixMotorController::set_group_torque(ServoGroup group, bool enable) {
  if (auto known = require_known_group(group); !known) return known;
  return write_group_torque(model_of(group), ids_of(group), enable);
}

ControllerResult<void> VorlixMotorController::set_all_torque(bool enable) {
  for (const ServoGroup group : torso::kLineGroups) {
    if (auto written = set_group_torque(group, enable); !written) return written;
  }
  return {};
}

}  // namespace vorlix::controller
