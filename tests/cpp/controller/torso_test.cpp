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

// The driver encodes with the row's MIT ranges, field by field.
TEST(TorsoTable, NeckDriversTakeTheirRowsRanges) {
  for (std::size_t i = 0; i < torso::kNeck.size(); ++i) {
    const torso::MitRange& row = torso::kNeck[i].mit_range;
    const can_motor::damiao::MitLimits& limits = kNeckJoints[i].limits;
    EXPECT_EQ((std::array{limits.p_max, limits.v_max, limits.kp_max, limits.kd_max, limits.t_max}),
              (std::array{row.p_max, row.v_max, row.kp_max, row.kd_max, row.t_max}));
  }
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
