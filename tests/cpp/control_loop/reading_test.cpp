// The worker's reading of the torso and the retry rule of its servo reads, against the
// in-memory buses.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <numbers>
#include <ostream>
#include <string>
#include <variant>

#include "scripted/scripted_torso.hpp"
#include "src/control_loop/reading.hpp"

namespace vorlix::control_loop {
namespace {

struct RetryRow {
  const char* name;
  int timeouts;  // requests in a row left unanswered
  std::uint64_t allowed_retries;
  bool succeeds;
  std::size_t requests;  // servo-line packets in all
};

// By name: printing the row's bytes would read its padding.
void PrintTo(const RetryRow& row, std::ostream* out) { *out << row.name; }


class LoopReadingTest : public ::testing::TestWithParam<RetryRow> {};

TEST_P(LoopReadingTest, OnlyATimedOutReadIsTriedAgainUpToTheAllowedAttempts) {
  const RetryRow& row = GetParam();
  auto torso = testing::scripted_torso();
  torso.servos->with([](auto& servos) {
    for (std::uint8_t id = 1; id <= 7; ++id) servos[id].encoder = 2048 + 512 * (id % 3);
  });
  torso.neck->with([](auto& motors) {
    motors[1].position = 0.25F;
    motors[2].velocity = -2.0F;
    motors[0].torque = 3.0F;
  });
  torso.servos->time_out_next(row.timeouts);
  const auto before = std::chrono::steady_clock::now();
  const auto reading = read_pos(torso.controller, row.allowed_retries);
  const auto requests = torso.servos->take_requests();
  EXPECT_EQ(requests.size(), row.requests);
  // Every attempt starts with the arms: FF FF FE 08 82 38 02 01 02 03 04 33.
  EXPECT_EQ(requests.front(), testing::bytes_with_checksum({0xFF, 0xFF, 0xFE, 0x08, 0x82, 0x38,
                                                            0x02, 0x01, 0x02, 0x03, 0x04}));
  if (!row.succeeds) {
    ASSERT_FALSE(reading);
    const auto& communication = std::get<MotorError::Communication>(reading.error().variant());
    ASSERT_TRUE(communication.cause);
    EXPECT_EQ(communication.cause->io_kind(), servo_bus::IoErrorKind::TimedOut);
    return;
  }
  ASSERT_TRUE(reading);
  constexpr double kQuarter = std::numbers::pi / 4;
  const std::array<double, 7> servos = {reading->left_arm[0],  reading->left_arm[1],
                                        reading->right_arm[0], reading->right_arm[1],
                                        reading->nose[0],      reading->nose[1],
                                        reading->nose[2]};
  const std::array<double, 7> expected = {kQuarter, 2 * kQuarter, 0.0,     kQuarter,
                                          2 * kQuarter, 0.0,      kQuarter};
  for (std::size_t i = 0; i < servos.size(); ++i) EXPECT_NEAR(servos[i], expected[i], 1e-12);
  EXPECT_NEAR(reading->neck[1], 0.25, 1e-3);
  // One step of a 12-bit field: 20/4095 for the roll's velocity and the yaw's torque.
  EXPECT_NEAR(reading->neck_velocity[2], -2.0, 0.01);
  EXPECT_NEAR(reading->neck_torque[0], 3.0, 0.01);
  EXPECT_GT(reading->timestamp, 0.0);
  EXPECT_GE(reading->completed, before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoopReadingTest,
    ::testing::Values(RetryRow{"clean", 0, 1, true, 2}, RetryRow{"one_miss_no_retry", 1, 1, false, 1},
                      RetryRow{"one_miss_one_retry", 1, 2, true, 3},
                      RetryRow{"two_misses_three_attempts", 2, 3, true, 4},
                      RetryRow{"three_misses_three_attempts", 3, 3, false, 3}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(LoopReading, AnotherAttemptWaitsTheControllersRetryPause) {
  auto timing = testing::fast_timing();
  timing.retry_pause = std::chrono::milliseconds(300);
  auto torso = testing::scripted_torso(timing);
  torso.servos->time_out_next(2);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(read_pos(torso.controller, 3));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2 * timing.retry_pause);
}

TEST(LoopReading, ASilentNeckMotorIsACommunicationErrorWithoutRetry) {
  auto torso = testing::scripted_torso();
  torso.neck->with([](auto& motors) { motors[0].answers = false; });
  const auto reading = read_pos(torso.controller, 5);
  ASSERT_FALSE(reading);
  // The three requests go out together, each once: no retry.
  EXPECT_EQ(torso.neck->take_sent().size(), 3u);
  // The controller's error stays inside, down to the CAN time-out.
  const auto& communication = std::get<MotorError::Communication>(reading.error().variant());
  ASSERT_TRUE(communication.cause);
  const auto& neck = std::get<controller::NeckFailure>(communication.cause->cause());
  EXPECT_EQ(neck.context, "read_neck_positions(neck_yaw)");
  const auto& motor = std::get<can_motor::damiao::DamiaoError>(neck.cause);
  EXPECT_EQ(std::get<can_motor::CanError>(motor.cause()).kind(), can_motor::CanError::Kind::Timeout);
}

TEST(LoopReading, AFailedServoReadStillTakesTheNecksReplies) {
  auto torso = testing::scripted_torso();
  torso.servos->time_out_next(1);
  ASSERT_FALSE(read_pos(torso.controller, 1));
  // Left queued, replies let failing ticks outpace the motors.
  EXPECT_FALSE(torso.neck->recv(can_motor::Duration::zero()));
}

}  // namespace
}  // namespace vorlix::control_loop
