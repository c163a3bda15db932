// Neck control and homing against the in-memory neck: the frames sent, to the byte.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <numbers>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "scripted/scripted_torso.hpp"
#include "src/controller/neck_table.hpp"

namespace vorlix::controller {
namespace {

using can_motor::CanFrame;
using testing::mit_frame;
using testing::ScriptedNeckMotor;

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// The MIT frames setting the neck to `positions` with the table's default gains.
std::vector<CanFrame> default_gain_frames(const NeckArray& positions) {
  std::vector<CanFrame> frames;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    frames.push_back(mit_frame(i, {static_cast<float>(positions[i]), 0.0F,
                                   kNeckJoints[i].default_kp, kNeckJoints[i].default_kd, 0.0F}));
  }
  return frames;
}

struct ClampRow {
  NeckArray requested;
  NeckArray sent;
};

class NeckPositionTest : public ::testing::TestWithParam<ClampRow> {};

TEST_P(NeckPositionTest, ClampsEachJointIntoItsRangeAndCommandsTheWholeNeck) {
  auto torso = testing::scripted_torso();
  const auto observed = torso.controller.set_neck_position(GetParam().requested);
  ASSERT_TRUE(observed) << observed.error().text();
  EXPECT_EQ(torso.neck->take_sent(), default_gain_frames(GetParam().sent));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR((*observed)[i], GetParam().sent[i], 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Rows, NeckPositionTest,
                         ::testing::Values(ClampRow{{0.1, 0.2, -0.3}, {0.1, 0.2, -0.3}},
                                           ClampRow{{0.9, -0.2, 0.41}, {0.5, 0.0, 0.4}},
                                           ClampRow{{-3.0, 7.0, -0.4}, {-0.5, 0.45, -0.4}}));

TEST(NeckPosition, RefusesANonFiniteRequestBeforeSendingAnything) {
  auto torso = testing::scripted_torso();
  const auto refused = torso.controller.set_neck_position({0.0, NAN, 0.0});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), "set_neck_position: neck_pitch position must be finite, got NaN");
  EXPECT_TRUE(torso.neck->take_sent().empty());
}

TEST(NeckPosition, OneJointUsesItsOwnGainsAndLimits) {
  auto torso = testing::scripted_torso();
  ASSERT_TRUE(torso.controller.set_neck_gains(torso::NeckJoint::Roll, 12.0F, 0.5F));
  const auto observed = torso.controller.set_single_neck_joint(torso::NeckJoint::Roll, -1.0);
  ASSERT_TRUE(observed) << observed.error().text();
  EXPECT_EQ(torso.neck->take_sent(), std::vector{mit_frame(2, {-0.4F, 0.0F, 12.0F, 0.5F, 0.0F})});
}

// A joint cast from outside the enumeration, or an index past the neck, is refused before
// any slot is touched or any frame sent.
TEST(NeckPosition, RefusesAJointOutsideTheNeck) {
  auto torso = testing::scripted_torso();
  for (const std::uint8_t raw : std::array<std::uint8_t, 2>{3, 255}) {
    const auto joint = static_cast<torso::NeckJoint>(raw);
    const std::string expected = "neck index out of range: " + std::to_string(raw);
    const auto single = torso.controller.set_single_neck_joint(joint, 0.0);
    ASSERT_FALSE(single);
    EXPECT_EQ(single.error().text(), expected);
    const auto gains = torso.controller.set_neck_gains(joint, 1.0F, 1.0F);
    ASSERT_FALSE(gains);
    EXPECT_EQ(gains.error().text(), expected);
  }
  const auto past = neck_joint_at(3);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().text(), "neck index out of range: 3");
  EXPECT_EQ(neck_joint_at(1), torso::NeckJoint::Pitch);
  EXPECT_TRUE(torso.neck->take_sent().empty());
}

TEST(NeckPosition, AMotorThatDoesNotAnswerNamesItself) {
  auto torso = testing::scripted_torso();
  torso.neck->with([](auto& motors) { motors[1].answers = false; });
  const auto failed = torso.controller.set_neck_position({0.0, 0.1, 0.0});
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(), "set_neck_position(neck_pitch): transport error: timeout waiting for frame");
}

struct HomingRow {
  const char* name;
  NeckArray start;
  NeckArray goals;
};

class NeckHomingTest : public ::testing::TestWithParam<HomingRow> {};

TEST_P(NeckHomingTest, EachJointSettlesOnTheNearestWholeTurn) {
  auto torso = testing::scripted_torso();
  torso.neck->with([&](auto& motors) {
    for (std::size_t i = 0; i < 3; ++i) motors[i].position = static_cast<float>(GetParam().start[i]);
  });
  const auto settled = torso.controller.neck_home(2.0, 0.01, std::nullopt, std::nullopt);
  ASSERT_TRUE(settled) << settled.error().text();
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR((*settled)[i], GetParam().goals[i], 1e-3);
  // The last cycle commands every goal exactly; the neck was enabled on the way.
  const auto sent = torso.neck->take_sent();
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(std::vector(sent.end() - 3, sent.end()), default_gain_frames(GetParam().goals));
  EXPECT_TRUE(torso.controller.is_neck_torque_enabled());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NeckHomingTest,
    ::testing::Values(HomingRow{"near_zero", {0.2, -0.1, 0.05}, {0.0, 0.0, 0.0}},
                      HomingRow{"a_turn_up", {6.1, 0.1, -0.2}, {kTwoPi, 0.0, 0.0}},
                      HomingRow{"a_turn_down", {0.3, -5.9, -6.5}, {0.0, -kTwoPi, -kTwoPi}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(NeckHoming, ABlockedJointTimesOutNamingTheJointsThatSettled) {
  auto torso = testing::scripted_torso();
  torso.neck->with([](auto& motors) {
    motors[1].position = 0.3F;
    motors[1].follows = false;
  });
  const auto failed = torso.controller.neck_home(2.0, 0.01, std::nullopt, std::nullopt);
  ASSERT_FALSE(failed);
  const std::string text = failed.error().text();
  EXPECT_TRUE(text.starts_with("neck_home: timed out before settling. observed=[")) << text;
  EXPECT_TRUE(text.ends_with("settled=[true, false, true]")) << text;
}

// The pause between cycles is an hour: only the stop, whenever it comes, ends the homing.
TEST(NeckHoming, AStopFromAnotherThreadEndsItBetweenCyclesWithTheNeckHeld) {
  auto timing = testing::fast_timing();
  timing.homing_pause = std::chrono::hours(1);
  auto torso = testing::scripted_torso(timing);
  torso.neck->with([](auto& motors) { motors[0].position = 0.3F; });
  std::stop_source stop;
  std::jthread stopper([&stop] { stop.request_stop(); });
  const auto stopped =
      torso.controller.neck_home(2.0, 0.01, std::nullopt, std::nullopt, stop.get_token());
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().text(), "neck_home: interrupted");
  EXPECT_TRUE(torso.controller.is_neck_torque_enabled());
}

TEST(NeckHoming, ASilentMotorEndsHomingWithItsNameBeforeAnythingMoves) {
  auto torso = testing::scripted_torso();
  torso.neck->with([](auto& motors) { motors[2].answers = false; });
  const auto failed = torso.controller.neck_home(2.0, 0.01, std::nullopt, std::nullopt);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(), "read_neck_positions(neck_roll): transport error: timeout waiting for frame");
  for (const CanFrame& frame : torso.neck->take_sent()) {
    EXPECT_EQ(frame.id, can_motor::CanId::standard(0x7FF));  // feedback requests only
  }
  EXPECT_FALSE(torso.controller.is_neck_torque_enabled());
}

TEST(NeckHoming, RefusesASpeedOrToleranceThatIsNotPositiveBeforeSendingAnything) {
  auto torso = testing::scripted_torso();
  const auto speed = torso.controller.neck_home(0.0, 0.01, std::nullopt, std::nullopt);
  ASSERT_FALSE(speed);
  EXPECT_EQ(speed.error().text(), "neck_home: speed must be positive, got 0");
  const auto tolerance = torso.controller.neck_home(1.0, -1.0, std::nullopt, std::nullopt);
  ASSERT_FALSE(tolerance);
  EXPECT_EQ(tolerance.error().text(), "neck_home: tolerance must be positive, got -1");
  EXPECT_TRUE(torso.neck->take_sent().empty());
}

}  // namespace
}  // namespace vorlix::controller
