#include "src/bindings/motor_controller_type.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/format.hpp"
#include "common/poisoned_mutex.hpp"
#include "src/bindings/arguments.hpp"
#include "src/bindings/call_support.hpp"
#include "src/bindings/core_handle_class.hpp"
#include "src/bindings/held_value.hpp"
#include "src/bindings/method_table.hpp"
#include "src/bindings/panic.hpp"
#include "src/bindings/shared_signatures.hpp"
#include "vorlix/controller.hpp"
#include "vorlix/torso.hpp"

namespace vorlix::bindings {
namespace {

using Core = controller::VorlixMotorController;
using CoreLock = PoisonedMutex<Core>;
using controller::ServoGroup;
using torso::NeckJoint;
template <class T>
using CoreResult = controller::ControllerResult<T>;

constexpr std::string_view kClassName = "VorlixMotorController";
constexpr char kPoisonedMessage[] = "Failed to lock motor controller";
constexpr char kReentrantMessage[] =
    "motor controller called from within one of its own calls on the same thread "
    "(a logging handler calling back into it?)";

// Each instance holds the lock with the core controller in it.
CoreLock& core_lock(PyObject* self) { return held<CoreLock>(self); }

PyObject* raise_core_error(const controller::ControllerError& error) {
  return raise_text(PyExc_RuntimeError, error.text());
}

template <class T>
PyObject* convert_result(const T& value) {
  return to_python(value);
}

template <class T>
PyObject* convert_result(const CoreResult<T>& result) {
  if (!result) return raise_core_error(result.error());
  if constexpr (std::is_void_v<T>) {
    return Py_NewRef(Py_None);
  } else {
    return to_python(*result);
  }
}

// The controllers this thread is inside a call of. A logging handler runs on the calling
// thread while the call holds the object's lock: calling the same controller from there
// would wait for that lock forever.
thread_local std::vector<const PyObject*> t_active_calls;

class ActiveCall {
 public:
  explicit ActiveCall(const PyObject* self) { t_active_calls.push_back(self); }
  ActiveCall(const ActiveCall&) = delete;
  ActiveCall& operator=(const ActiveCall&) = delete;
  ~ActiveCall() { t_active_calls.pop_back(); }
};

// The rest of every call once its arguments are converted: the object's lock is taken only
// after the interpreter lock is released, so a thread waiting for it blocks nobody else.
template <class Operation>
PyObject* call_core(PyObject* self, Operation&& operation) {
  if (std::ranges::find(t_active_calls, self) != t_active_calls.end()) {
    PyErr_SetString(PyExc_RuntimeError, kReentrantMessage);
    return nullptr;
  }
  const ActiveCall active(self);
  using Outcome = std::invoke_result_t<Operation&, Core&>;
  std::optional<Outcome> outcome = without_gil([&]() -> std::optional<Outcome> {
    // An internal failure unwinding through the guard poisons the lock.
    auto core = core_lock(self).lock();
    if (!core) return std::nullopt;
    return operation(**core);
  });
  if (!outcome) {
    PyErr_SetString(PyExc_RuntimeError, kPoisonedMessage);
    return nullptr;
  }
  // A Ctrl-C that ended a long operation: its KeyboardInterrupt is the answer.
  if (PyErr_Occurred() != nullptr) return nullptr;
  return convert_result(*outcome);
}

std::optional<float> narrow_optional(std::optional<double> value) {
  if (!value) return std::nullopt;
  return narrow_to_single(*value);
}

// Method bodies, in registration order.

PyObject* is_torque_enabled(PyObject* self) {
  return call_core(self, [](Core& core) { return core.is_torque_enabled(); });
}

template <bool Enable>
PyObject* all_torque(PyObject* self) {
  return call_core(self, [](Core& core) { return core.set_all_torque(Enable); });
}

template <bool Enable>
PyObject* torque_on_ids(PyObject* self, Arguments args) {
  const auto ids = to_id_list(args[0], "ids");
  if (!ids) return nullptr;
  return call_core(self, [&](Core& core) { return core.set_torque_on_ids(*ids, Enable); });
}

PyObject* read_all_positions(PyObject* self) {
  return call_core(self, [](Core& core) { return core.read_all_positions(); });
}

PyObject* set_all_goal_positions(PyObject* self, Arguments args) {
  const auto positions = to_real_array<7>(args[0], "positions");
  if (!positions) return nullptr;
  return call_core(self, [&](Core& core) { return core.set_all_goal_positions(*positions); });
}

template <ServoGroup Group>
PyObject* group_goal_positions(PyObject* self, Arguments args) {
  const auto position = to_real_array<torso::group_size(Group)>(args[0], "position");
  if (!position) return nullptr;
  return call_core(self, [&](Core& core) { return core.write_goal_positions(Group, *position); });
}

PyObject* set_neck_position(PyObject* self, Arguments args) {
  const auto position = to_real_array<3>(args[0], "position");
  if (!position) return nullptr;
  return call_core(self, [&](Core& core) { return core.set_neck_position(*position); });
}

template <NeckJoint Joint>
PyObject* single_neck_joint(PyObject* self, Arguments args) {
  const auto position = to_real(args[0], "position");
  if (!position) return nullptr;
  return call_core(self,
                   [&](Core& core) { return core.set_single_neck_joint(Joint, *position); });
}

PyObject* neck_position_limits(PyObject* self) {
  // No bus traffic, but a poisoned object still refuses.
  return call_core(self, [](Core&) { return torso::kNeckLimits; });
}

PyObject* read_neck_positions(PyObject* self) {
  return call_core(self, [](Core& core) { return core.read_neck_positions(); });
}

PyObject* set_neck_gains(PyObject* self, Arguments args) {
  const auto index = to_index(args[0], "index");
  if (!index) return nullptr;
  const auto kp = to_real(args[1], "kp");
  if (!kp) return nullptr;
  const auto kd = to_real(args[2], "kd");
  if (!kd) return nullptr;
  return call_core(self, [&](Core& core) -> CoreResult<void> {
    const auto joint = controller::neck_joint_at(*index);
    if (!joint) return std::unexpected(joint.error());
    return core.set_neck_gains(*joint, narrow_to_single(*kp), narrow_to_single(*kd));
  });
}

PyObject* neck_home(PyObject* self, Arguments args) {
  const auto speed = or_default(args[0], "speed", to_real, 0.4);
  if (!speed) return nullptr;
  const auto tolerance = or_default(args[1], "tolerance", to_real, 0.15);
  if (!tolerance) return nullptr;
  const auto kp = or_default(args[2], "kp", to_optional_real, std::optional<double>());
  if (!kp) return nullptr;
  const auto kd = or_default(args[3], "kd", to_optional_real, std::optional<double>());
  if (!kd) return nullptr;
  return call_core(self, [&](Core& core) {
    return core.neck_home(*speed, *tolerance, narrow_optional(*kp), narrow_optional(*kd));
  });
}

PyObject* enable_neck(PyObject* self, Arguments args) {
  const auto enable = to_flag(args[0], "enable");
  if (!enable) return nullptr;
  return call_core(self, [&](Core& core) { return core.enable_neck(*enable); });
}

PyObject* is_neck_torque_enabled(PyObject* self) {
  return call_core(self, [](Core& core) { return core.is_neck_torque_enabled(); });
}

template <ServoGroup Group>
PyObject* group_torque(PyObject* self, Arguments args) {
  const auto enable = to_flag(args[0], "enable");
  if (!enable) return nullptr;
  return call_core(self, [&](Core& core) { return core.set_group_torque(Group, *enable); });
}

PyObject* set_arm_home(PyObject* self, Arguments args) {
  const auto verify_tol = or_default(args[0], "verify_tol", to_real, 0.05);
  if (!verify_tol) return nullptr;
  return call_core(self, [&](Core& core) { return core.set_arm_home(*verify_tol); });
}

PyObject* write_raw_packet(PyObject* self, Arguments args) {
  const auto data = to_bytes(args[0], "data");
  if (!data) return nullptr;
  return call_core(self, [&](Core& core) -> CoreResult<void> {
    // The answer is read only to keep it off the line; nobody asked for it.
    auto answer = core.write_raw_packet(*data);
    if (!answer) return std::unexpected(std::move(answer).error());
    return {};
  });
}

// Parameter lists.
constexpr const char* kGainParameters[] = {"index", "kp", "kd"};
constexpr const char* kHomingParameters[] = {"speed", "tolerance", "kp", "kd"};
constexpr const char* kVerifyParameters[] = {"verify_tol"};
constexpr const char* kNewParameters[] = {"serialport", "can_bus"};

constexpr Signature kSetNeckGains{kClassName, "set_neck_gains", kGainParameters, 3};
constexpr Signature kNeckHome{kClassName, "neck_home", kHomingParameters, 0};
constexpr Signature kSetArmHome{kClassName, "set_arm_home", kVerifyParameters, 0};
constexpr Signature kNew{kClassName, "__new__", kNewParameters, 0};

// Docstrings: the text signature, then the body.
constexpr char kClassDoc[] = "VorlixMotorController(serialport=None, can_bus=...)\n--\n\n";
constexpr char kIsTorqueEnabledDoc[] =
    "is_torque_enabled($self)\n--\n\n"
    "Is torque enabled on all motors";
constexpr char kEnableTorqueDoc[] =
    "enable_torque($self)\n--\n\n"
    "Enable torque on all motors.";
constexpr char kEnableTorqueOnIdsDoc[] =
    "enable_torque_on_ids($self, ids)\n--\n\n"
    "Enable torque on ids";
constexpr char kDisableTorqueDoc[] =
    "disable_torque($self)\n--\n\n"
    "Disable torque on all motors.";
constexpr char kDisableTorqueOnIdsDoc[] =
    "disable_torque_on_ids($self, ids)\n--\n\n"
    "Disable torque on ids";
constexpr char kReadAllPositionsDoc[] =
    "read_all_positions($self)\n--\n\n"
    "Read all motor positions as a 7-element array.\n"
    "Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]";
constexpr char kSetAllGoalPositionsDoc[] =
    "set_all_goal_positions($self, positions)\n--\n\n"
    "Set goal positions for all motors (7 values).\n"
    "\n"
    "# Arguments\n"
    "* `positions` - Array of 7 goal positions\n"
    "  (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right).";
constexpr char kSetLeftArmPositionDoc[] =
    "set_left_arm_position($self, position)\n--\n\n"
    "Set goal positions for the left arm (2 values: pitch, yaw).";
constexpr char kSetRightArmPositionDoc[] =
    "set_right_arm_position($self, position)\n--\n\n"
    "Set goal positions for the right arm (2 values: pitch, yaw).";
constexpr char kSetArmsPositionDoc[] =
    "set_arms_position($self, position)\n--\n\n"
    "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw).";
constexpr char kSetNosePositionDoc[] =
    "set_nose_position($self, position)\n--\n\n"
    "Set goal positions for the nose (3 values).";
constexpr char kSetNeckPositionDoc[] =
    "set_neck_position($self, position)\n--\n\n"
    "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\n"
    "the observed positions reported by the motor replies.";
constexpr char kSetNeckYawPositionDoc[] =
    "set_neck_yaw_position($self, position)\n--\n\n";
constexpr char kSetNeckPitchPositionDoc[] =
    "set_neck_pitch_position($self, position)\n--\n\n";
constexpr char kSetNeckRollPositionDoc[] =
    "set_neck_roll_position($self, position)\n--\n\n";
constexpr char kNeckPositionLimitsDoc[] =
    "neck_position_limits($self)\n--\n\n"
    "Hard safety bounds (lower, upper) in rad for each neck joint.\n"
    "Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds\n"
    "before commanding the motor.";
constexpr char kReadNeckPositionsDoc[] =
    "read_neck_positions($self)\n--\n\n"
    "Read the current neck positions (yaw, pitch, roll) via a Damiao\n"
    "feedback request.";
constexpr char kSetNeckGainsDoc[] =
    "set_neck_gains($self, index, kp, kd)\n--\n\n"
    "Override the MIT impedance gains (kp, kd) for a single neck joint.\n"
    "`index`: 0=yaw, 1=pitch, 2=roll.";
constexpr char kNeckHomeDoc[] =
    "neck_home($self, speed=0.4, tolerance=0.15, kp=None, kd=None)\n--\n\n"
    "Home the 3 neck joints to the nearest physical zero.\n"
    "\n"
    "Snaps each goal to the nearest multiple of 2π of the joint's current\n"
    "reported position — after a power cycle the Damiao multi-turn counter\n"
    "resets, so commanding \"go to 0\" naively could spin the head a full\n"
    "turn. Rounding keeps travel within ±π and lands at a physically\n"
    "equivalent zero.\n"
    "\n"
    "Enables neck torque if it isn't already (does **not** disable on\n"
    "exit — caller owns torque lifecycle). Ramps at `speed` rad/s on a\n"
    "10 ms cycle and returns the observed positions once every joint is\n"
    "within `tolerance` rad of its goal. Raises on timeout.\n"
    "\n"
    "`kp` / `kd`: optional overrides applied to all three joints for the\n"
    "duration of homing (and left in place afterwards). `None` keeps the\n"
    "per-joint defaults baked into the controller.";
constexpr char kEnableNeckDoc[] =
    "enable_neck($self, enable)\n--\n\n"
    "Enable or disable the neck motors. On enable, also forces each motor\n"
    "into MIT control mode.";
constexpr char kIsNeckTorqueEnabledDoc[] =
    "is_neck_torque_enabled($self)\n--\n\n"
    "Last commanded torque-enable state for the neck (in-memory; the\n"
    "Damiao firmware does not expose a readable enable register).";
constexpr char kEnableArmsDoc[] =
    "enable_arms($self, enable)\n--\n\n"
    "Enable or disable the arm motors.";
constexpr char kSetArmHomeDoc[] =
    "set_arm_home($self, verify_tol=0.05)\n--\n\n"
    "Make the current physical arm pose the new \"radian zero\" by rewriting\n"
    "each Feetech arm motor's Position Offset EEPROM register (0x1F).\n"
    "Persistent across power cycles.\n"
    "\n"
    "Disables arm torque, reads the current present_position + offset for\n"
    "every arm motor, computes a new offset equal to the recovered absolute\n"
    "encoder position (so future `present_position` reads of this pose come\n"
    "back as 0 rad and `goal_position = 0` writes leave the arm where it\n"
    "sits now), unlocks EEPROM, writes the offset, re-locks, and verifies\n"
    "by reading present_position back. Caller owns torque lifecycle — arms\n"
    "are left **torque-off** on exit.\n"
    "\n"
    "Returns the observed post-write `present_position` (rad) for the four\n"
    "joints: `[left_pitch, left_yaw, right_pitch, right_yaw]`. Raises\n"
    "`RuntimeError` when verification fails (within `verify_tol` rad of 0)\n"
    "or any bus call errors.";
constexpr char kEnableNoseDoc[] =
    "enable_nose($self, enable)\n--\n\n"
    "Enable or disable the nose motors.";
constexpr char kWriteRawPacketDoc[] =
    "write_raw_packet($self, data)\n--\n\n"
    "Write raw packet data to the serial port.\n"
    "\n"
    "# Arguments\n"
    "* `data` - Byte array of raw packet data to send.";

using Table = MethodTable<motor_controller_type>;
using Shared = SharedSignatures<kClassName>;

PyMethodDef methods[] = {
    Table::method<is_torque_enabled>("is_torque_enabled", kIsTorqueEnabledDoc),
    Table::method<all_torque<true>>("enable_torque", kEnableTorqueDoc),
    Table::method<Shared::kEnableTorqueOnIds, torque_on_ids<true>>(kEnableTorqueOnIdsDoc),
    Table::method<all_torque<false>>("disable_torque", kDisableTorqueDoc),
    Table::method<Shared::kDisableTorqueOnIds, torque_on_ids<false>>(kDisableTorqueOnIdsDoc),
    Table::method<read_all_positions>("read_all_positions", kReadAllPositionsDoc),
    Table::method<Shared::kSetAllGoalPositions, set_all_goal_positions>(kSetAllGoalPositionsDoc),
    Table::method<Shared::kSetLeftArmPosition, group_goal_positions<ServoGroup::LeftArm>>(
        kSetLeftArmPositionDoc),
    Table::method<Shared::kSetRightArmPosition, group_goal_positions<ServoGroup::RightArm>>(
        kSetRightArmPositionDoc),
    Table::method<Shared::kSetArmsPosition, group_goal_positions<ServoGroup::Arm>>(
        kSetArmsPositionDoc),
    Table::method<Shared::kSetNosePosition, group_goal_positions<ServoGroup::Nose>>(
        kSetNosePositionDoc),
    Table::method<Shared::kSetNeckPosition, set_neck_position>(kSetNeckPositionDoc),
    Table::method<Shared::kSetNeckYawPosition, single_neck_joint<NeckJoint::Yaw>>(
        kSetNeckYawPositionDoc),
    Table::method<Shared::kSetNeckPitchPosition, single_neck_joint<NeckJoint::Pitch>>(
        kSetNeckPitchPositionDoc),
    Table::method<Shared::kSetNeckRollPosition, single_neck_joint<NeckJoint::Roll>>(
        kSetNeckRollPositionDoc),
    Table::method<neck_position_limits>("neck_position_limits", kNeckPositionLimitsDoc),
    Table::method<read_neck_positions>("read_neck_positions", kReadNeckPositionsDoc),
    Table::method<kSetNeckGains, set_neck_gains>(kSetNeckGainsDoc),
    Table::method<kNeckHome, neck_home>(kNeckHomeDoc),
    Table::method<Shared::kEnableNeck, enable_neck>(kEnableNeckDoc),
    Table::method<is_neck_torque_enabled>("is_neck_torque_enabled", kIsNeckTorqueEnabledDoc),
    Table::method<Shared::kEnableArms, group_torque<ServoGroup::Arm>>(kEnableArmsDoc),
    Table::method<kSetArmHome, set_arm_home>(kSetArmHomeDoc),
    Table::method<Shared::kEnableNose, group_torque<ServoGroup::Nose>>(kEnableNoseDoc),
    Table::method<Shared::kWriteRawPacket, write_raw_packet>(kWriteRawPacketDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, std::size(kNewParameters)> slots{};
    if (!parse_arguments(kNew, args, kwargs, slots)) return nullptr;
    const auto serialport =
        or_default(slots[0], "serialport", to_optional_text, std::optional<std::string>());
    if (!serialport) return nullptr;
    const auto can_bus = or_default(slots[1], "can_bus", to_text, std::string("can0"));
    if (!can_bus) return nullptr;
    auto created = without_gil([&] { return Core::create(*serialport, *can_bus); });
    if (!created) return raise_core_error(created.error());
    return new_holding<CoreLock>(type, std::move(*created));
  });
}

// Closing the serial port may wait on the driver.
CoreHandleSlots slots = core_handle_slots<CoreLock>(kClassDoc, construct, methods);
PyType_Spec type_spec =
    core_handle_spec<CoreLock>("vorlix_motor_controller.VorlixMotorController", slots);

}  // namespace

PyTypeObject* motor_controller_type() { return type_from_spec<type_spec>(); }

}  // namespace vorlix::bindings
