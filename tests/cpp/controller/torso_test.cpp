// The views derived from the torso table, against the torso as it is wired.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scripted/scripted_torso.hpp"
#include "src/controller/neck_table.hpp"
#include "vorlix/torso.hpp"

namespace vorlix::controller {
namespace {

struct GroupRow {
  ServoGroup group;
  std::vector<std::uint8_t> ids;
  std::string_view model;
};

TEST(TorsoTable, GroupsHoldTheirServosInTableOrderWithOneModel) {
  for (const GroupRow& row : std::vector<GroupRow>{{ServoGroup::Arm, {1, 2, 3, 4}, "SM40BL"},
                                                   {ServoGroup::LeftArm, {1, 2}, "SM40BL"},
                                                   {ServoGroup::RightArm, {3, 4}, "SM40BL"},
                                                   {ServoGroup::Nose, {5, 6, 7}, "STS3025BL"}}) {
    const auto ids = torso::ids_of(row.group);
    EXPECT_EQ(std::vector<std::uint8_t>(ids.begin(), ids.end()), row.ids);
    EXPECT_EQ(torso::model_of(row.group).name, row.model);
  }
}

TEST(TorsoTable, DerivedNamesAndLimitsFollowTheRows) {
  EXPECT_EQ(std::vector<std::string_view>(kMotorNames.begin(), kMotorNames.end()),
            (std::vector<std::string_view>{"left_arm_pitch", "left_arm_yaw", "right_arm_pitch",
                                           "right_arm_yaw", "nose_top", "nose_left",
                                           "nose_right"}));
  EXPECT_EQ(kServoIds, (std::array<std::uint8_t, 7>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(kNeckNames, (std::array<std::string_view, 3>{"neck_yaw", "neck_pitch", "neck_roll"}));
  EXPECT_EQ(torso::kNeckLimits[1], (std::pair{0.0, 0.45}));
  // The driver's limits are the row's MIT ranges, field by field.
  EXPECT_EQ(kNeckJoints[0].limits.v_max, 30.0F);
  EXPECT_EQ(kNeckJoints[2].limits.t_max, 28.0F);
  EXPECT_EQ(kNeckJoints[2].limits.kd_max, 5.0F);
}

TEST(TorsoTable, PidGainsGoToTheirRegistersInTheModelsOrder) {
  // P at 21, D at 22, I at 23.
  EXPECT_EQ(torso::kLinePid.address, 21);
  EXPECT_EQ(torso::kLinePid.bytes({10, 20, 30}), (std::array<std::uint8_t, 3>{10, 30, 20}));
  const std::array<std::uint8_t, 3> read{10, 30, 20};
  EXPECT_EQ(torso::kLinePid.gains(read), (std::array<std::uint8_t, 3>{10, 20, 30}));
}

// A sync request's instruction, register and ids.
struct Sync {
  std::uint8_t instruction;
  std::uint8_t address;
  std::vector<std::uint8_t> ids;

  bool operator==(const Sync&) const = default;
};

std::vector<Sync> syncs_of(const std::vector<testing::Bytes>& requests) {
  constexpr std::uint8_t kSyncRead = 0x82;
  std::vector<Sync> syncs;
  for (const testing::Bytes& request : requests) {
    Sync sync{request[4], request[5], {}};
    // Ids follow the width; a write's ids are each followed by their data.
    const std::size_t stride = sync.instruction == kSyncRead ? 1 : 1u + request[6];
    for (std::size_t at = 7; at + 1 < request.size(); at += stride) sync.ids.push_back(request[at]);
    syncs.push_back(std::move(sync));
  }
  return syncs;
}

struct LineRow {
  const char* name;
  std::function<ControllerResult<void>(VorlixMotorController&)> call;
  std::vector<Sync> sent;
  std::string error;  // empty: success
};

void PrintTo(const LineRow& row, std::ostream* out) { *out << row.name; }

class ServoLineByTable : public ::testing::TestWithParam<LineRow> {};

// Each write or read reaches the table's groups, one request per line group, in table order.
TEST_P(ServoLineByTable, SendsOneRequestPerGroup) {
  auto torso = testing::scripted_torso();
  const auto result = GetParam().call(torso.controller);
  if (GetParam().error.empty()) {
    EXPECT_TRUE(result) << result.error().text();
  } else {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), GetParam().error);
  }
  EXPECT_EQ(syncs_of(torso.servos->take_requests()), GetParam().sent);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Rows, ServoLineByTable,
    ::testing::Values(
        LineRow{"torque_on_ids_split_by_group",
                [](VorlixMotorController& c) {
                  const std::array<std::uint8_t, 5> ids{6, 9, 1, 0, 2};
                  return c.set_torque_on_ids(ids, true);
                },
                {{0x83, 40, {1, 2}}, {0x83, 40, {6}}},
                ""},
        LineRow{"all_goals",
                [](VorlixMotorController& c) {
                  return c.set_all_goal_positions(std::array<double, 7>{});
                },
                {{0x83, 42, {1, 2, 3, 4}}, {0x83, 42, {5, 6, 7}}},
                ""},
        LineRow{"a_nan_nose_goal_stops_the_arm_part_too",
                [](VorlixMotorController& c) {
                  return c.set_all_goal_positions(
                      std::array<double, 7>{0.0, 0.0, 0.0, 0.0, 0.0, kNaN, 0.0});
                },
                {},
                "goal position for servo 6 is not finite: NaN"},
        LineRow{"right_arm_goals",
                [](VorlixMotorController& c) {
                  return c.write_goal_positions(ServoGroup::RightArm, std::array{0.0, 0.0});
                },
                {{0x83, 42, {3, 4}}},
                ""},
        LineRow{"voltages",
                [](VorlixMotorController& c) -> ControllerResult<void> {
                  if (auto read = c.read_all_voltages(); !read) {
                    return std::unexpected(read.error());
                  }
                  return {};
                },
                {{0x82, 62, {1, 2, 3, 4}}, {0x82, 62, {5, 6, 7}}},
                ""}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace vorlix::controller
