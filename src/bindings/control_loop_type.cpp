#include "src/bindings/control_loop_type.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/format.hpp"
#include "src/bindings/arguments.hpp"
#include "src/bindings/call_support.hpp"
#include "src/bindings/core_handle_class.hpp"
#include "src/bindings/held_value.hpp"
#include "src/bindings/live_loops.hpp"
#include "src/bindings/method_table.hpp"
#include "src/bindings/panic.hpp"
#include "src/bindings/recording_methods.hpp"
#include "src/bindings/shared_signatures.hpp"
#include "src/bindings/value_types.hpp"
#include "src/control_loop/control_loop_recording.hpp"
#include "src/control_loop/motor_command.hpp"
#include "vorlix/torso.hpp"

namespace vorlix::bindings {
namespace {

namespace core = control_loop;
using core::MotorCommand;
using core::PostError;
using core::PostFailure;
using Loop = std::shared_ptr<core::RecordableControlLoop>;

// The same for every id: an id outside the torso table is read and written alike.
constexpr servo_bus::PidRegisters kPid = torso::kLinePid;
constexpr std::uint8_t kPidLength = kPid.order.size();

constexpr std::string_view kClassName = "VorlixPyControlLoop";

core::RecordableControlLoop& loop_of(PyObject* self) { return *held<Loop>(self); }

PyObject* raise_runtime(std::string_view text) { return raise_text(PyExc_RuntimeError, text); }

const std::string& communication_text() {
  static const std::string text = core::MotorError(core::MotorError::Communication{}).text();
  return text;
}

// "{context}: {Communication}" for a closed channel; a handler on the worker gets its own text.
PyObject* raise_post_failure(const PostError& error, std::string_view context) {
  if (error.failure != PostFailure::ChannelClosed || context.empty()) return raise_runtime(error.text);
  return raise_runtime(fmt::format("{}: {}", context, communication_text()));
}

// Queues at once when there is room; waits for it with the interpreter lock released.
std::expected<void, PostError> post_command(PyObject* self, MotorCommand command) {
  core::ControlLoop& loop = loop_of(self);
  auto posted = loop.try_post(command);
  if (posted || posted.error().failure != PostFailure::Full) return posted;
  return without_gil([&] { return loop.post(std::move(command)); });
}

PyObject* post(PyObject* self, MotorCommand command, std::string_view context = {}) {
  const auto posted = post_command(self, std::move(command));
  if (!posted) return raise_post_failure(posted.error(), context);
  return Py_NewRef(Py_None);
}

// Method bodies, in registration order.

PyObject* close(PyObject* self) {
  without_gil([self] { loop_of(self).close(); });
  return Py_NewRef(Py_None);
}

PyObject* get_motor_name_id(PyObject* self) {
  std::vector<std::pair<std::string, std::uint8_t>> entries(loop_of(self).motor_name_id().begin(),
                                                            loop_of(self).motor_name_id().end());
  std::ranges::sort(entries, {}, &std::pair<std::string, std::uint8_t>::second);
  PyObject* names = PyDict_New();
  if (names == nullptr) return nullptr;
  for (const auto& [name, id] : entries) {
    PyObject* key = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    PyObject* value = key == nullptr ? nullptr : PyLong_FromUnsignedLong(id);
    const bool stored = value != nullptr && PyDict_SetItem(names, key, value) == 0;
    Py_XDECREF(key);
    Py_XDECREF(value);
    if (!stored) {
      Py_DECREF(names);
      return nullptr;
    }
  }
  return names;
}

PyObject* get_last_position(PyObject* self) {
  const auto position = loop_of(self).get_last_position();
  if (!position) return raise_runtime(position.error().text());
  return new_torso_position(*position);
}

PyObject* set_all_goal_positions(PyObject* self, Arguments args) {
  const auto positions = to_torso_position(args[0], "positions");
  if (!positions) return nullptr;
  core::SetAllGoalPositions command{};
  std::ranges::copy(positions->left_arm, command.positions.begin());
  std::ranges::copy(positions->right_arm, command.positions.begin() + 2);
  std::ranges::copy(positions->nose, command.positions.begin() + 4);
  return post(self, command);
}

template <class Command, std::size_t Count>
PyObject* post_positions(PyObject* self, Arguments args) {
  const auto position = to_real_array<Count>(args[0], "position");
  if (!position) return nullptr;
  return post(self, Command{*position});
}

template <class Command>
PyObject* post_neck_joint(PyObject* self, Arguments args) {
  const auto position = to_real(args[0], "position");
  if (!position) return nullptr;
  return post(self, Command{*position});
}

template <class Command>
PyObject* post_flag(PyObject* self, Arguments args) {
  const auto enable = to_flag(args[0], "enable");
  if (!enable) return nullptr;
  return post(self, Command{*enable});
}

PyObject* is_torque_enabled(PyObject* self) {
  const auto enabled = loop_of(self).is_torque_enabled();
  if (!enabled) return raise_runtime(enabled.error().text());
  return to_python(*enabled);
}

template <class Command>
PyObject* post_plain(PyObject* self) {
  return post(self, Command{});
}

template <class Command>
PyObject* post_ids(PyObject* self, Arguments args) {
  auto ids = to_id_list(args[0], "ids");
  if (!ids) return nullptr;
  return post(self, Command{std::move(*ids)});
}

PyObject* get_stats(PyObject* self) {
  // The history grows for ever: copied with the interpreter lock released, and moved in.
  auto stats = without_gil([self] { return loop_of(self).get_stats(); });
  if (!stats) return Py_NewRef(Py_None);
  return new_control_loop_stats(std::move(*stats));
}

core::MotorResult<core::RawBytes> read_raw(PyObject* self, std::uint8_t id, std::uint8_t address,
                                           std::uint8_t length) {
  return without_gil([&] { return loop_of(self).async_read_raw_bytes(id, address, length); });
}

PyObject* async_read_raw_bytes(PyObject* self, Arguments args) {
  const auto id = to_byte(args[0], "id");
  if (!id) return nullptr;
  const auto address = to_byte(args[1], "addr");
  if (!address) return nullptr;
  const auto length = to_byte(args[2], "length");
  if (!length) return nullptr;
  const auto bytes = read_raw(self, *id, *address, *length);
  if (!bytes) return raise_runtime(fmt::format("Failed to read raw bytes: {}", bytes.error().text()));
  return to_python(std::span<const std::uint8_t>(*bytes));
}

PyObject* async_write_raw_bytes(PyObject* self, Arguments args) {
  const auto id = to_byte(args[0], "id");
  if (!id) return nullptr;
  const auto address = to_byte(args[1], "addr");
  if (!address) return nullptr;
  auto data = to_id_list(args[2], "data");
  if (!data) return nullptr;
  return post(self, core::WriteRawBytes{*id, *address, std::move(*data)},
              "Failed to write raw bytes");
}

PyObject* async_read_pid_gains(PyObject* self, Arguments args) {
  const auto id = to_byte(args[0], "id");
  if (!id) return nullptr;
  auto bytes = read_raw(self, *id, kPid.address, kPidLength);
  if (bytes && bytes->size() != kPidLength) {
    bytes = std::unexpected(core::MotorError::Communication{});
  }
  if (!bytes) return raise_runtime(fmt::format("Failed to read pid gains: {}", bytes.error().text()));
  const auto [p, i, d] = kPid.gains(std::span<const std::uint8_t, 3>(*bytes));
  return Py_BuildValue("(iii)", p, i, d);
}

PyObject* async_write_pid_gains(PyObject* self, Arguments args) {
  const auto id = to_byte(args[0], "id");
  if (!id) return nullptr;
  const auto p = to_word(args[1], "p");
  if (!p) return nullptr;
  const auto i = to_word(args[2], "i");
  if (!i) return nullptr;
  const auto d = to_word(args[3], "d");
  if (!d) return nullptr;
  // One byte each: the low byte of every gain.
  const auto low = [](std::uint16_t gain) { return static_cast<std::uint8_t>(gain & 0xFFU); };
  const auto data = kPid.bytes({low(*p), low(*i), low(*d)});
  return post(self, core::WriteRawBytes{*id, kPid.address, {data.begin(), data.end()}},
              "Failed to write pid gains");
}

PyObject* write_raw_packet(PyObject* self, Arguments args) {
  const auto data = to_bytes(args[0], "data");
  if (!data) return nullptr;
  // The bytes object stays alive and unchanged for the whole call.
  const auto answer = without_gil([&] { return loop_of(self).write_raw_packet(*data); });
  if (answer) return to_python(std::span<const std::uint8_t>(*answer));
  switch (answer.error()) {
    case core::RawPacketFailure::ChannelClosed:
      return raise_runtime("channel closed");
    case core::RawPacketFailure::NotAnswered:
      return raise_runtime(
          "Failed to receive raw packet response: receiving on a closed channel");
    case core::RawPacketFailure::OnWorkerThread:
      break;
  }
  return raise_runtime(core::kOnWorkerThreadMessage);
}

// A given argument that is not None.
bool given(PyObject* value) { return value != nullptr && value != Py_None; }

PyObject* scheduling_report(const core::SchedulingOutcome& outcome) {
  PyObject* cpus = PyList_New(0);
  PyObject* refused = PyList_New(0);
  bool filled = cpus != nullptr && refused != nullptr;
  for (const int cpu : outcome.cpus) {
    PyObject* item = filled ? PyLong_FromLong(cpu) : nullptr;
    filled = item != nullptr && PyList_Append(cpus, item) == 0;
    Py_XDECREF(item);
  }
  for (const auto& text : outcome.refused) {
    PyObject* item = filled ? PyUnicode_FromStringAndSize(
                                  text.data(), static_cast<Py_ssize_t>(text.size()))
                            : nullptr;
    filled = item != nullptr && PyList_Append(refused, item) == 0;
    Py_XDECREF(item);
  }
  PyObject* report = nullptr;
  if (filled) {
    PyObject* priority = outcome.realtime_priority ? PyLong_FromLong(*outcome.realtime_priority)
                                                   : Py_NewRef(Py_None);
    if (priority != nullptr) {
      report = Py_BuildValue("{sOsOsOsO}", "realtime_priority", priority, "cpus", cpus,
                             "memory_locked", outcome.memory_locked ? Py_True : Py_False,
                             "refused", refused);
      Py_DECREF(priority);
    }
  }
  Py_XDECREF(cpus);
  Py_XDECREF(refused);
  return report;
}

PyObject* set_worker_scheduling(PyObject* self, Arguments args) {
  core::WorkerScheduling scheduling;
  if (given(args[0])) {
    const auto priority = to_count(args[0], "realtime_priority");
    if (!priority) return nullptr;
    // Beyond any priority: refused with the others out of range.
    scheduling.realtime_priority = static_cast<int>(std::min<std::uint64_t>(*priority, 1000));
  }
  if (given(args[1])) {
    const auto cpus = to_id_list(args[1], "cpus");
    if (!cpus) return nullptr;
    scheduling.cpus.emplace(cpus->begin(), cpus->end());
  }
  const auto lock_memory = or_default(args[2], "lock_memory", to_flag, false);
  if (!lock_memory) return nullptr;
  scheduling.lock_memory = *lock_memory;
  const auto outcome =
      without_gil([&] { return loop_of(self).set_worker_scheduling(scheduling); });
  return scheduling_report(outcome);
}

// Parameter lists and signatures.
constexpr const char* kRawReadParameters[] = {"id", "addr", "length"};
constexpr const char* kRawWriteParameters[] = {"id", "addr", "data"};
constexpr const char* kIdParameters[] = {"id"};
constexpr const char* kPidParameters[] = {"id", "p", "i", "d"};
constexpr const char* kSchedulingParameters[] = {"realtime_priority", "cpus", "lock_memory"};
constexpr const char* kNewParameters[] = {"serialport",       "read_position_loop_period",
                                          "can_bus",          "allowed_retries",
                                          "stats_pub_period", "voltage_rampup_timeout"};

constexpr Signature kAsyncReadRawBytes{kClassName, "async_read_raw_bytes", kRawReadParameters, 3};
constexpr Signature kAsyncWriteRawBytes{kClassName, "async_write_raw_bytes", kRawWriteParameters,
                                        3};
constexpr Signature kAsyncReadPidGains{kClassName, "async_read_pid_gains", kIdParameters, 1};
constexpr Signature kAsyncWritePidGains{kClassName, "async_write_pid_gains", kPidParameters, 4};
constexpr Signature kSetWorkerScheduling{kClassName, "set_worker_scheduling",
                                         kSchedulingParameters, 0};
constexpr Signature kNew{kClassName, "__new__", kNewParameters, 2};

constexpr char kClassDoc[] =
    "VorlixPyControlLoop(serialport, read_position_loop_period, can_bus=..., allowed_retries=5, "
    "stats_pub_period=None, voltage_rampup_timeout=...)\n--\n\n";

using Table = MethodTable<control_loop_type>;
using Shared = SharedSignatures<kClassName>;

PyMethodDef methods[] = {
    Table::method<close>(
        "close", "close($self)\n--\n\nClose the control loop and release resources."),
    Table::method<get_motor_name_id>(
        "get_motor_name_id",
        "get_motor_name_id($self)\n--\n\nGet the id/name motors used in this controller."),
    Table::method<get_last_position>(
        "get_last_position",
        "get_last_position($self)\n--\n\nGet the last successfully read motor positions."),
    Table::method<Shared::kSetAllGoalPositions, set_all_goal_positions>(
        "set_all_goal_positions($self, positions)\n--\n\nSet goal positions for all motors."),
    Table::method<Shared::kSetLeftArmPosition, post_positions<core::SetLeftArmPosition, 2>>(
        "set_left_arm_position($self, position)\n--\n\n"
        "Set goal positions for the left arm (2 values: pitch, yaw)."),
    Table::method<Shared::kSetRightArmPosition, post_positions<core::SetRightArmPosition, 2>>(
        "set_right_arm_position($self, position)\n--\n\n"
        "Set goal positions for the right arm (2 values: pitch, yaw)."),
    Table::method<Shared::kSetArmsPosition, post_positions<core::SetArmsPosition, 4>>(
        "set_arms_position($self, position)\n--\n\nSet goal positions for both arms (4 values)."),
    Table::method<Shared::kSetNosePosition, post_positions<core::SetNosePosition, 3>>(
        "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values)."),
    Table::method<Shared::kSetNeckPosition, post_positions<core::SetNeckPosition, 3>>(
        "set_neck_position($self, position)\n--\n\n"
        "Set goal positions for the neck (3 values: yaw, pitch, roll)."),
    Table::method<Shared::kSetNeckYawPosition, post_neck_joint<core::SetNeckYawPosition>>(
        "set_neck_yaw_position($self, position)\n--\n\n"),
    Table::method<Shared::kSetNeckPitchPosition, post_neck_joint<core::SetNeckPitchPosition>>(
        "set_neck_pitch_position($self, position)\n--\n\n"),
    Table::method<Shared::kSetNeckRollPosition, post_neck_joint<core::SetNeckRollPosition>>(
        "set_neck_roll_position($self, position)\n--\n\n"),
    Table::method<Shared::kEnableNeck, post_flag<core::EnableNeck>>(
        "enable_neck($self, enable)\n--\n\nEnable or disable the neck motors."),
    Table::method<is_torque_enabled>(
        "is_torque_enabled", "is_torque_enabled($self)\n--\n\nCheck torque enabled status."),
    Table::method<post_plain<core::EnableTorque>>(
        "enable_torque", "enable_torque($self)\n--\n\nEnable torque on all motors."),
    Table::method<Shared::kEnableTorqueOnIds, post_ids<core::EnableTorqueOnIds>>(
        "enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids."),
    Table::method<post_plain<core::DisableTorque>>(
        "disable_torque", "disable_torque($self)\n--\n\nDisable torque on all motors."),
    Table::method<Shared::kDisableTorqueOnIds, post_ids<core::DisableTorqueOnIds>>(
        "disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids."),
    Table::method<Shared::kEnableArms, post_flag<core::EnableArms>>(
        "enable_arms($self, enable)\n--\n\nEnable or disable the arm motors."),
    Table::method<Shared::kEnableNose, post_flag<core::EnableNose>>(
        "enable_nose($self, enable)\n--\n\nEnable or disable the nose motors."),
    Table::method<get_stats>(
        "get_stats",
        "get_stats($self)\n--\n\nGet the latest control loop statistics, if available."),
    Table::method<kAsyncReadRawBytes, async_read_raw_bytes>(
        "async_read_raw_bytes($self, id, addr, length)\n--\n\n"
        "Perform an asynchronous raw read of motor bytes."),
    Table::method<kAsyncWriteRawBytes, async_write_raw_bytes>(
        "async_write_raw_bytes($self, id, addr, data)\n--\n\n"
        "Perform an asynchronous raw write of motor bytes."),
    Table::method<kAsyncReadPidGains, async_read_pid_gains>(
        "async_read_pid_gains($self, id)\n--\n\n"
        "Read PID gains for a given motor id. Returns (P, I, D)."),
    Table::method<kAsyncWritePidGains, async_write_pid_gains>(
        "async_write_pid_gains($self, id, p, i, d)\n--\n\nWrite PID gains for a given motor id."),
    Table::method<Shared::kWriteRawPacket, write_raw_packet>(
        "write_raw_packet($self, data)\n--\n\n"),
    Table::method<kStartRecording, start_recording>(kStartRecordingDoc),
    Table::method<stop_recording>("stop_recording", kStopRecordingDoc),
    Table::method<take_recording>("take_recording", kTakeRecordingDoc),
    Table::method<kSetWorkerScheduling, set_worker_scheduling>(
        "set_worker_scheduling($self, realtime_priority=None, cpus=None, lock_memory=False)\n"
        "--\n\n"
        "Ask for the worker's SCHED_FIFO priority (1 to 99), CPUs and memory locking. Never "
        "fails for what the system refuses: returns what took effect and each refusal."),
    {nullptr, nullptr, 0, nullptr},
};

// Checked here, before any bus is opened: the retry rule needs an attempt, the timer a period.
bool check_loop_arguments(std::uint64_t allowed_retries, std::chrono::nanoseconds period) {
  if (allowed_retries == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "allowed_retries must be at least 1 (it counts attempts, not retries)");
    return false;
  }
  if (period == std::chrono::nanoseconds::zero()) {
    PyErr_SetString(PyExc_ValueError, "read_position_loop_period must be longer than zero");
    return false;
  }
  return true;
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, std::size(kNewParameters)> slots{};
    if (!parse_arguments(kNew, args, kwargs, slots)) return nullptr;
    const auto serialport = to_optional_text(slots[0], "serialport");
    if (!serialport) return nullptr;
    const auto period = to_duration(slots[1], "read_position_loop_period");
    if (!period) return nullptr;
    const auto can_bus = or_default(slots[2], "can_bus", to_text, std::string("can0"));
    if (!can_bus) return nullptr;
    const auto allowed_retries = or_default(slots[3], "allowed_retries", to_count, std::uint64_t{5});
    if (!allowed_retries) return nullptr;
    const auto stats_pub_period = or_default(slots[4], "stats_pub_period", to_optional_duration,
                                             std::optional<std::chrono::nanoseconds>());
    if (!stats_pub_period) return nullptr;
    const auto voltage_rampup_timeout =
        or_default(slots[5], "voltage_rampup_timeout", to_duration,
                   std::chrono::nanoseconds(std::chrono::seconds(30)));
    if (!voltage_rampup_timeout) return nullptr;
    if (!check_loop_arguments(*allowed_retries, *period)) return nullptr;

    // The voltage wait and the reboot take seconds: other threads run meanwhile.
    auto created = without_gil([&] {
      return core::ControlLoop::create(*serialport, *can_bus,
                                       {.period = *period,
                                        .allowed_retries = *allowed_retries,
                                        .stats_pub_period = *stats_pub_period,
                                        .voltage_rampup_timeout = *voltage_rampup_timeout});
    });
    if (!created) {
      // A Ctrl-C that ended the voltage wait or the reboot: its KeyboardInterrupt is the answer.
      if (PyErr_Occurred() != nullptr) return nullptr;
      return raise_runtime(created.error().text());
    }
    auto loop = std::make_shared<core::RecordableControlLoop>(std::move(*created));
    PyObject* self = new_holding<Loop>(type, std::move(loop));
    if (self == nullptr) {
      without_gil([&] { loop.reset(); });
      return nullptr;
    }
    track_live_loop(held<Loop>(self));
    return self;
  });
}

// The last reference closes the loop, joining a worker that may log meanwhile.
CoreHandleSlots slots = core_handle_slots<Loop>(kClassDoc, construct, methods);
PyType_Spec type_spec =
    core_handle_spec<Loop>("vorlix_motor_controller.VorlixPyControlLoop", slots);

}  // namespace

PyTypeObject* control_loop_type() { return type_from_spec<type_spec>(); }

control_loop::RecordableControlLoop& control_loop_of(PyObject* self) { return loop_of(self); }

}  // namespace vorlix::bindings
