// The doctor's servo and neck-motor checks on the torso's buses in memory: each fault gives
// its own rows, and the doctor only ever asks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "can_motor/damiao/registers.hpp"
#include "doctor/neck_checks.hpp"
#include "doctor/servo_checks.hpp"
#include "scripted/scripted_neck.hpp"
#include "scripted/scripted_servos.hpp"
#include "support/test_support.hpp"
#include "vorlix/servo_model.hpp"

namespace vorlix::doctor {
namespace {

namespace damiao = can_motor::damiao;
using namespace std::chrono_literals;
// The nose shares these addresses; it has no offset or EEPROM lock.
constexpr const servo_bus::ServoModel& kArm = servo_bus::kSm40bl;
using vorlix::testing::ScriptedNeck;
using vorlix::testing::ScriptedNeckMotor;
using vorlix::testing::ScriptedServo;
using vorlix::testing::ScriptedServos;

constexpr std::uint8_t kPing = 0x01;
constexpr std::uint8_t kRead = 0x02;
constexpr std::uint32_t kManagementId = 0x7FF;
constexpr std::uint8_t kFeedback = 0xCC;
constexpr std::uint8_t kReadRegister = 0x33;

// A row the report must hold.
struct Row {
  std::string subject;
  std::string check;
  Verdict verdict;
  std::string detail;
};

template <class Motors>
struct FaultCase {
  std::string name;
  std::function<void(Motors&)> fault;
  std::vector<Row> rows;  // every row that is not ok, and some that are
  std::size_t row_count;
};
template <class Motors>
void PrintTo(const FaultCase<Motors>& fault, std::ostream* out) {
  *out << fault.name;
}

std::string key(const std::string& subject, const std::string& check, Verdict verdict) {
  constexpr const char* kVerdicts[] = {"ok", "warning", "problem"};
  return subject + " | " + check + " | " + kVerdicts[static_cast<int>(verdict)];
}

void expect_rows(const Report& report, const std::vector<Row>& rows, std::size_t row_count) {
  std::multiset<std::string> found, expected;
  for (const Check& check : report.checks()) {
    if (check.verdict != Verdict::Ok) found.insert(key(check.subject, check.name, check.verdict));
  }
  for (const Row& row : rows) {
    if (row.verdict != Verdict::Ok) expected.insert(key(row.subject, row.check, row.verdict));
    const auto at = std::ranges::find_if(report.checks(), [&](const Check& check) {
      return check.subject == row.subject && check.name == row.check;
    });
    ASSERT_NE(at, report.checks().end()) << key(row.subject, row.check, row.verdict);
    EXPECT_EQ(at->verdict, row.verdict) << key(row.subject, row.check, row.verdict);
    EXPECT_EQ(at->detail, row.detail);
  }
  EXPECT_EQ(found, expected);
  EXPECT_EQ(report.checks().size(), row_count);
}

// Servos as they power up: locked, at room temperature, 12.0 V.
void power_up(ScriptedServos& line) {
  line.with([](auto& servos) {
    for (auto& [id, servo] : servos) {
      servo.registers[kArm.eeprom_lock->address] = 1;
      servo.registers[kArm.present_temperature.address] = 30;
    }
  });
}

void expect_only_pings_and_reads(ScriptedServos& line) {
  for (const auto& request : line.take_requests()) {
    EXPECT_TRUE(request[4] == kPing || request[4] == kRead) << int{request[4]};
  }
}

using ServoFault = FaultCase<std::map<std::uint8_t, ScriptedServo>>;
class ServoChecks : public ::testing::TestWithParam<ServoFault> {};

TEST_P(ServoChecks, FindTheFaultAndOnlyAsk) {
  ScriptedServos line;
  power_up(line);
  line.with(GetParam().fault);
  Report report;
  check_servos(report, line);
  expect_rows(report, GetParam().rows, GetParam().row_count);
  expect_only_pings_and_reads(line);
}

template <std::uint8_t Address>
auto set(std::uint8_t id, std::uint8_t value) {
  return [=](auto& servos) { servos[id].registers[Address] = value; };
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServoChecks,
    ::testing::Values(
        ServoFault{"Healthy", [](auto&) {},
                   {{"servo 1 left_arm_pitch", "voltage", Verdict::Ok, "12.0 V"},
                    {"servo 1 left_arm_pitch", "torque", Verdict::Ok, "off"},
                    {"servo 1 left_arm_pitch", "eeprom lock", Verdict::Ok, "locked"},
                    {"servo 1 left_arm_pitch", "position", Verdict::Ok, "+0.0000 rad (raw 2048)"}},
                   50},
        ServoFault{"RunningHot", set<kArm.present_temperature.address>(2, 65),
                   {{"servo 2 left_arm_yaw", "temperature", Verdict::Warning,
                     "65 °C, running hot"}},
                   50},
        ServoFault{"SeveralStatusBits", set<kArm.status.address>(7, 0x0B),
                   {{"servo 7 nose_right", "status", Verdict::Problem,
                     "overcurrent, voltage out of range, position sensor fault (status byte 11)"}},
                   50},
        ServoFault{"TorqueOn", set<kArm.torque_enable.address>(1, 1),
                   {{"servo 1 left_arm_pitch", "torque", Verdict::Ok, "on"}}, 50},
        ServoFault{"EepromUnlocked", set<kArm.eeprom_lock->address>(4, 0),
                   {{"servo 4 right_arm_yaw", "eeprom lock", Verdict::Warning,
                     "unlocked: an arm calibration may have been cut short"}},
                   50},
        ServoFault{"NegativeOffsetAndItsPosition",
                   [](auto& servos) {
                     put_word(servos[2], kArm.position_offset->address, 0x800 | 1024);
                   },
                   {{"servo 2 left_arm_yaw", "offset", Verdict::Ok, "-1.5716 rad (raw 3072)"},
                    {"servo 2 left_arm_yaw", "position", Verdict::Ok,
                     "+1.5708 rad (raw 3072)"}},
                   50}),
    test_support::ByName());

// A reply that comes after the doctor gave up on it must not answer the next request.
class LateServoReplies : public ::testing::TestWithParam<int> {};

TEST_P(LateServoReplies, GiveTheReportOfRepliesOnTime) {
  const auto report_of = [](int late_replies) {
    ScriptedServos line;
    power_up(line);
    line.answer_late(late_replies);
    Report report;
    check_servos(report, line, 1ms);
    std::vector<std::string> rows;
    for (const Check& check : report.checks()) {
      rows.push_back(key(check.subject, check.name, check.verdict) + " | " + check.detail);
    }
    return rows;
  };
  EXPECT_EQ(report_of(GetParam()), report_of(0));
}

INSTANTIATE_TEST_SUITE_P(FirstRepliesLate, LateServoReplies, ::testing::Values(1, 2, 9, 1000));

using NeckFault = FaultCase<std::array<ScriptedNeckMotor, 3>>;
class NeckChecks : public ::testing::TestWithParam<NeckFault> {};

TEST_P(NeckChecks, FindTheFaultAndOnlyAsk) {
  ScriptedNeck bus;
  bus.with(GetParam().fault);
  Report report;
  check_neck_motors(report, bus);
  expect_rows(report, GetParam().rows, GetParam().row_count);
  for (const auto& frame : bus.take_sent()) {
    EXPECT_EQ(frame.id, can_motor::CanId::standard(kManagementId));
    EXPECT_TRUE(frame.data[2] == kFeedback || frame.data[2] == kReadRegister) << int{frame.data[2]};
  }
}

template <std::uint8_t Register>
auto set_register(std::uint8_t motor, std::uint32_t bits) {
  return [=](auto& motors) { motors[motor].registers[Register] = bits; };
}

INSTANTIATE_TEST_SUITE_P(
    Faults, NeckChecks,
    ::testing::Values(
        NeckFault{"Healthy", [](auto&) {},
                  // 0 rad, as near as the reply's 16 bits come
                  {{"neck_yaw", "feedback", Verdict::Ok,
                    "answers: -0.0002 rad, status 0, driver 30 °C, rotor 31 °C"},
                   {"neck_yaw", "CTRL_MODE", Verdict::Ok, "MIT (1)"},
                   {"neck_pitch", "PMAX", Verdict::Ok, "12.5, as the controller decodes"},
                   {"neck_roll", "MST_ID", Verdict::Ok, "3"},
                   {"neck_roll", "TIMEOUT", Verdict::Ok, "0 (off)"}},
                  21},
        NeckFault{"UnknownMode", [](auto& motors) { motors[1].mode = 9; },
                  {{"neck_pitch", "CTRL_MODE", Verdict::Problem,
                    "? (9): the controller commands MIT (1)"}},
                  21},
        NeckFault{"WrongVMax",
                  set_register<damiao::kVMaxRegister>(0, std::bit_cast<std::uint32_t>(10.0F)),
                  {{"neck_yaw", "VMAX", Verdict::Problem,
                    "motor neck_yaw VMAX is 10, the controller decodes with 30: velocities are "
                    "wrong"}},
                  21},
        NeckFault{"WrongMasterId", set_register<damiao::kMasterIdRegister>(2, 9),
                  {{"neck_roll", "MST_ID", Verdict::Problem,
                    "9: the controller waits for replies on 3"}},
                  21},
        NeckFault{"TimeoutSet", set_register<damiao::kTimeoutRegister>(1, 20000),
                  {{"neck_pitch", "TIMEOUT", Verdict::Ok,
                    "20000 (the motor disables itself after 1000 ms without a command)"}},
                  21}),
    test_support::ByName());

}  // namespace
}  // namespace vorlix::doctor
