// Arm calibration and reboot against the in-memory servo line: the packets sent and the
// registers they leave, to the byte.
#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "scripted/scripted_torso.hpp"
#include "vorlix/servo_model.hpp"

namespace vorlix::controller {
namespace {

using servo_bus::kSm40bl;
using testing::Bytes;
using testing::ScriptedServo;

// Instruction and register address of each request.
std::vector<std::pair<std::uint8_t, std::uint8_t>> steps_of(const std::vector<Bytes>& requests) {
  std::vector<std::pair<std::uint8_t, std::uint8_t>> steps;
  for (const Bytes& request : requests) steps.emplace_back(request[4], request[5]);
  return steps;
}

struct CalibrationRow {
  int encoder;
  std::uint16_t prior_offset;  // raw, sign-magnitude
  std::uint16_t new_offset;
};

TEST(ArmCalibration, TheCurrentPoseBecomesZeroThroughTheStoredOffsets) {
  // Encoder counts, 4096 a turn with 2048 at zero; offsets 2047 steps a half turn. The new
  // offset is where the joint is, within half a turn.
  const std::array<CalibrationRow, 4> rows = {{
      {2148, 20, 99},                   // present 2128 + prior 20
      {1748, 0x800 | 50, 0x800 | 299},  // present 1798 + prior -50
      {4300, 300, 0x800 | 1842},        // present 4000 + prior 300 is past half a turn: wraps
      {2048, 0x800 | 7, 0x800},         // present 2055 + prior -7: a hair below zero
  }};
  auto torso = testing::scripted_torso();
  torso.servos->with([&](auto& servos) {
    for (std::uint8_t id = 1; id <= 4; ++id) {
      servos[id].encoder = rows[id - 1u].encoder;
      servos[id].registers[kSm40bl.torque_enable.address] = 1;
      servos[id].registers[kSm40bl.eeprom_lock->address] = 1;
      testing::put_word(servos[id], kSm40bl.position_offset->address, rows[id - 1u].prior_offset);
    }
  });
  const auto zeroed = torso.controller.set_arm_home(0.01);
  ASSERT_TRUE(zeroed) << zeroed.error().text();
  for (const double position : *zeroed) EXPECT_NEAR(position, 0.0, 0.005);
  torso.servos->with([&](auto& servos) {
    for (std::uint8_t id = 1; id <= 4; ++id) {
      EXPECT_EQ(testing::word_at(servos[id], kSm40bl.position_offset->address),
                rows[id - 1u].new_offset)
          << "id " << int{id};
      EXPECT_EQ(servos[id].registers[kSm40bl.torque_enable.address], 0);
      EXPECT_EQ(servos[id].registers[kSm40bl.eeprom_lock->address], 1);
    }
    EXPECT_EQ(servos[5].registers[kSm40bl.torque_enable.address], 0);  // never touched
  });
  const auto requests = torso.servos->take_requests();
  using Step = std::pair<std::uint8_t, std::uint8_t>;
  EXPECT_EQ(steps_of(requests),
            (std::vector<Step>{{0x83, kSm40bl.torque_enable.address},
                               {0x82, kSm40bl.present_position.address},
                               {0x82, kSm40bl.position_offset->address},
                               {0x83, kSm40bl.eeprom_lock->address},
                               {0x83, kSm40bl.position_offset->address},
                               {0x83, kSm40bl.eeprom_lock->address},
                               {0x82, kSm40bl.present_position.address}}));
  // The offsets go out in one packet, little-endian per id.
  EXPECT_EQ(requests[4], testing::bytes_with_checksum({0xFF, 0xFF, 0xFE, 0x10, 0x83, 0x1F, 0x02,
                                                       0x01, 0x63, 0x00, 0x02, 0x2B, 0x09,
                                                       0x03, 0x32, 0x0F, 0x04, 0x00, 0x08}));
}

TEST(ArmCalibration, AServoWithTheOppositeOffsetSignFailsTheVerifyAndSaysHowToRestore) {
  auto torso = testing::scripted_torso();
  torso.servos->with([](auto& servos) {
    for (std::uint8_t id = 1; id <= 4; ++id) {
      servos[id].encoder = 2560;
      servos[id].offset_sign = -1;
    }
  });
  const auto failed = torso.controller.set_arm_home(0.01);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(),
            "set_arm_home: verify failed — arm IDs [1, 2, 3, 4] now reading [+1.5693, +1.5693, "
            "+1.5693, +1.5693] rad (expected ~0 within 0.0100). The Feetech offset sign convention "
            "on this hardware may differ from the assumed `present = encoder - offset`. EEPROM "
            "has been left in the new state; restore manually using prior_offsets [+0.0000, "
            "+0.0000, +0.0000, +0.0000], new_offsets [+0.7854, +0.7854, +0.7854, +0.7854].");
}

struct RebootRow {
  const char* name;
  std::vector<std::uint8_t> silent;  // ids that never answer again
  std::string error;                 // empty: success
};

// By name: printing the row's bytes would read its padding.
void PrintTo(const RebootRow& row, std::ostream* out) { *out << row.name; }


class ServoRebootTest : public ::testing::TestWithParam<RebootRow> {};

TEST_P(ServoRebootTest, RebootsEveryServoThenWaitsForEachToAnswer) {
  auto torso = testing::scripted_torso();
  torso.servos->with([&](auto& servos) {
    for (const std::uint8_t id : GetParam().silent) servos[id].answers = false;
  });
  const auto rebooted = torso.controller.reboot(std::chrono::milliseconds(50));
  if (GetParam().error.empty()) {
    ASSERT_TRUE(rebooted) << rebooted.error().text();
  } else {
    ASSERT_FALSE(rebooted);
    EXPECT_EQ(rebooted.error().text(), GetParam().error);
  }
  const auto requests = torso.servos->take_requests();
  ASSERT_GE(requests.size(), 7u);
  for (std::uint8_t id = 1; id <= 7; ++id) {
    EXPECT_EQ(requests[id - 1u], testing::bytes_with_checksum({0xFF, 0xFF, id, 0x02, 0x08}));
  }
  for (std::size_t i = 7; i < requests.size(); ++i) EXPECT_EQ(requests[i][4], 0x01);  // pings
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServoRebootTest,
    ::testing::Values(
        RebootRow{"all_back", {}, ""},
        RebootRow{"one_missing", {6}, R"(Some motors did not respond after reboot (["nose_left"] - ids: [6]))"},
        RebootRow{"two_missing",
                  {2, 7},
                  R"(Some motors did not respond after reboot (["left_arm_yaw", "nose_right"] - ids: [2, 7]))"}),
    [](const auto& row) { return std::string(row.param.name); });

// A group cast from outside the enumeration has no model to look up: refused, nothing sent.
TEST(ServoGroups, RefuseAGroupOutsideTheEnumeration) {
  auto torso = testing::scripted_torso();
  const auto forged = static_cast<ServoGroup>(9);
  const std::array<double, 2> goals{0.0, 0.0};
  for (const auto& refused :
       {torso.controller.write_goal_positions(forged, goals),
        torso.controller.set_group_torque(forged, true)}) {
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text(), "unknown servo group: 9");
  }
  EXPECT_TRUE(torso.servos->take_requests().empty());
}

}  // namespace
}  // namespace vorlix::controller
