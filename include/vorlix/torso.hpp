// The torso, described once: its joints on the servo line and on the CAN bus, with their
// names, ids, models, groups and the neck's limits. Everything else about the robot's layout
// (id lists, name maps, array orders) is derived from these two tables.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include <vorlix/servo_model.hpp>

namespace vorlix::torso {

// The servo groups the controller writes as one; a servo belongs to several.
enum class ServoGroup : std::uint8_t { Arm, LeftArm, RightArm, Nose };

constexpr std::uint8_t bit(ServoGroup group) {
  return static_cast<std::uint8_t>(1U << static_cast<unsigned>(group));
}

// A servo on the serial line.
struct Servo {
  std::string_view name;
  std::uint8_t id;
  const servo_bus::ServoModel* model;
  std::uint8_t groups;  // bits of ServoGroup

  constexpr bool in(ServoGroup group) const { return (groups & bit(group)) != 0; }
};

// The order of these rows is the order of every seven-element array (positions, voltages,
// goals).
inline constexpr std::array<Servo, 7> kServos = {{
    {"left_arm_pitch", 1, &servo_bus::kSm40bl, bit(ServoGroup::Arm) | bit(ServoGroup::LeftArm)},
    {"left_arm_yaw", 2, &servo_bus::kSm40bl, bit(ServoGroup::Arm) | bit(ServoGroup::LeftArm)},
    {"right_arm_pitch", 3, &servo_bus::kSm40bl, bit(ServoGroup::Arm) | bit(ServoGroup::RightArm)},
    {"right_arm_yaw", 4, &servo_bus::kSm40bl, bit(ServoGroup::Arm) | bit(ServoGroup::RightArm)},
    {"nose_top", 5, &servo_bus::kSts3025bl, bit(ServoGroup::Nose)},
    {"nose_left", 6, &servo_bus::kSts3025bl, bit(ServoGroup::Nose)},
    {"nose_right", 7, &servo_bus::kSts3025bl, bit(ServoGroup::Nose)},
}};

// The ranges an MIT frame's fields map onto; they must match the motor's PMAX, VMAX and TMAX.
struct MitRange {
  float p_max;
  float v_max;
  float kp_max;
  float kd_max;
  float t_max;
};

// A Damiao motor of the neck on the CAN bus.
struct NeckMotor {
  std::string_view name;
  std::uint16_t can_id;     // commands go to this id (the motor's ESC_ID)
  std::uint16_t master_id;  // its replies come from this one (MST_ID)
  MitRange mit_range;
  float default_kp;
  float default_kd;
  double lower_limit;  // rad: no command goes below
  double upper_limit;  // rad: nor above
};

// The neck's joints; their values are the neck order (yaw, pitch, roll) of every
// three-element neck array.
enum class NeckJoint : std::uint8_t { Yaw, Pitch, Roll };

// In neck order, the order of every three-element neck array.
inline constexpr std::array<NeckMotor, 3> kNeck = {{
    {"neck_yaw", 1, 1, {12.5F, 30.0F, 500.0F, 5.0F, 10.0F}, 30.0F, 1.0F, -0.5, 0.5},
    {"neck_pitch", 2, 2, {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}, 60.0F, 2.0F, 0.0, 0.45},
    {"neck_roll", 3, 3, {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}, 60.0F, 2.0F, -0.4, 0.4},
}};

// Tenths of a volt every servo must report before the control loop starts; below it the
// servos misbehave.
inline constexpr std::uint8_t kMinimumSupply = 110;

// Derived from the tables.

inline constexpr auto kServoIds = [] {
  std::array<std::uint8_t, kServos.size()> ids{};
  std::ranges::transform(kServos, ids.begin(), &Servo::id);
  return ids;
}();

inline constexpr auto kMotorNames = [] {
  std::array<std::string_view, kServos.size()> names{};
  std::ranges::transform(kServos, names.begin(), &Servo::name);
  return names;
}();

inline constexpr auto kNeckNames = [] {
  std::array<std::string_view, kNeck.size()> names{};
  std::ranges::transform(kNeck, names.begin(), &NeckMotor::name);
  return names;
}();

// The neck's (lower, upper) limits in neck order.
inline constexpr auto kNeckLimits = [] {
  std::array<std::pair<double, double>, kNeck.size()> limits{};
  std::ranges::transform(kNeck, limits.begin(), [](const NeckMotor& motor) {
    return std::pair{motor.lower_limit, motor.upper_limit};
  });
  return limits;
}();

// A joint's place in neck order; none for a value outside the enumeration (a cast).
constexpr std::optional<std::size_t> neck_index(NeckJoint joint) {
  const auto index = static_cast<std::size_t>(joint);
  if (index >= kNeck.size()) return std::nullopt;
  return index;
}

constexpr std::size_t group_size(ServoGroup group) {
  return static_cast<std::size_t>(
      std::ranges::count_if(kServos, [group](const Servo& servo) { return servo.in(group); }));
}

// A group's ids in table order.
template <ServoGroup Group>
inline constexpr auto kGroupIds = [] {
  std::array<std::uint8_t, group_size(Group)> ids{};
  auto out = ids.begin();
  for (const Servo& servo : kServos) {
    if (servo.in(Group)) *out++ = servo.id;
  }
  return ids;
}();

constexpr std::span<const std::uint8_t> ids_of(ServoGroup group) {
  switch (group) {
    case ServoGroup::Arm:
      return kGroupIds<ServoGroup::Arm>;
    case ServoGroup::LeftArm:
      return kGroupIds<ServoGroup::LeftArm>;
    case ServoGroup::RightArm:
      return kGroupIds<ServoGroup::RightArm>;
    case ServoGroup::Nose:
      return kGroupIds<ServoGroup::Nose>;
  }
  return {};
}

// One sync request reaches one model's register, so a group's servos share a model.
constexpr const servo_bus::ServoModel& model_of(ServoGroup group) {
  return *std::ranges::find_if(kServos, [group](const Servo& servo) {
            return servo.in(group);
          })->model;
}

// Reads of all seven servos go group by group: these groups hold every servo once, in
// table order.
inline constexpr std::array<ServoGroup, 2> kLineGroups = {ServoGroup::Arm, ServoGroup::Nose};

// Every model on the line keeps its PID gains alike, so an id outside the table (a servo
// being set up) is read and written the same way.
inline constexpr servo_bus::PidRegisters kLinePid = kServos[0].model->pid;

namespace detail {

constexpr bool groups_have_one_model() {
  for (const ServoGroup group :
       {ServoGroup::Arm, ServoGroup::LeftArm, ServoGroup::RightArm, ServoGroup::Nose}) {
    for (const Servo& servo : kServos) {
      if (servo.in(group) && servo.model != &model_of(group)) return false;
    }
  }
  return true;
}

constexpr bool line_groups_cover_the_table() {
  std::size_t next = 0;
  for (const ServoGroup group : kLineGroups) {
    for (const std::uint8_t id : ids_of(group)) {
      if (next == kServos.size() || kServos[next++].id != id) return false;
    }
  }
  return next == kServos.size();
}

constexpr bool neck_joints_name_the_table() {
  return kNeck[*neck_index(NeckJoint::Yaw)].name == "neck_yaw" &&
         kNeck[*neck_index(NeckJoint::Pitch)].name == "neck_pitch" &&
         kNeck[*neck_index(NeckJoint::Roll)].name == "neck_roll";
}

constexpr bool line_pid_alike() {
  return std::ranges::all_of(kServos, [](const Servo& servo) {
    return servo.model->pid.address == kLinePid.address && servo.model->pid.order == kLinePid.order;
  });
}

}  // namespace detail

static_assert(detail::groups_have_one_model());
static_assert(detail::line_groups_cover_the_table());
static_assert(detail::line_pid_alike());
static_assert(detail::neck_joints_name_the_table());

}  // namespace vorlix::torso
