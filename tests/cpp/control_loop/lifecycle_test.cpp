// A neck-only control loop on a vcan interface with scripted motors: start-up, readings,
// posted commands, statistics and the drain on close, as the worker really runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <set>

#include "can_motor/vcan_peer.hpp"
#include "src/control_loop/control_loop.hpp"

namespace vorlix::control_loop {
namespace {

using namespace std::chrono_literals;
using can_motor::test::classic;
using can_motor::test::Responder;
using can_motor::test::WireFrame;

constexpr std::uint32_t kServiceId = 0x7FF;

// The motor a frame is for: its CAN id, or for a service frame the id in its first bytes.
std::uint32_t motor_of(const WireFrame& frame) {
  return frame.can_id == kServiceId ? frame.data[0] : frame.can_id;
}

// Motors that answer every frame with their state (position at the middle of the range: 0 rad).
Responder::Answer neck(std::set<std::uint32_t> answering) {
  return [answering](const WireFrame& in) {
    const std::uint32_t motor = motor_of(in);
    if (!answering.contains(motor)) return std::vector<WireFrame>{};
    return std::vector{classic(motor, {static_cast<std::uint8_t>(0x10 | motor), 0x7F, 0xFF, 0x7F,
                                       0xF7, 0xFF, 0x1E, 0x28})};
  };
}

class ControlLoopLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* iface = std::getenv("VORLIX_CAN_IFACE");
    ASSERT_NE(iface, nullptr) << "run these tests through tools/with-vcan";
    iface_ = iface;
  }

  MotorResult<std::unique_ptr<VorlixControlLoop>> open() {
    return VorlixControlLoop::create(std::nullopt, 10ms, iface_, 5, 30ms, 30s);
  }

  // Under valgrind the first run through new code outlasts the motors' 20 ms time-out: one
  // start whose outcome does not count warms it up.
  MotorResult<std::unique_ptr<VorlixControlLoop>> open_warm() {
    open();
    return open();
  }

  std::string iface_;
};

TEST_F(ControlLoopLifecycle, ReadsPostsAndDrainsOnClose) {
  Responder motors(iface_, neck({1, 2, 3}));
  auto loop = open_warm();
  ASSERT_TRUE(loop) << loop.error().text();
  const auto first = (*loop)->get_last_position();
  ASSERT_TRUE(first);
  EXPECT_NEAR(first->neck[0], 0.0, 1e-3);
  EXPECT_EQ((*loop)->is_torque_enabled(), false);
  for (int i = 0; i < 30; ++i) ASSERT_TRUE((*loop)->post(SetNeckYawPosition{0.01 * i}));
  // Neck-only: a raw servo read fails at once.
  EXPECT_FALSE((*loop)->async_read_raw_bytes(1, 56, 2));
  std::this_thread::sleep_for(100ms);
  (*loop)->close();
  (*loop)->close();
  const auto seen = motors.finish();
  const auto yaw_commands = std::ranges::count_if(
      seen, [](const WireFrame& frame) { return frame.can_id == 1 && frame.data[7] != 0xFC; });
  EXPECT_GE(yaw_commands, 30);
  const auto stats = (*loop)->get_stats();
  ASSERT_TRUE(stats);
  EXPECT_GE(stats->period.size(), 5U);
  EXPECT_FALSE(stats->read_dt.empty());
  EXPECT_EQ((*loop)->post(EnableTorque{}).error().failure, PostFailure::ChannelClosed);
  EXPECT_TRUE((*loop)->get_last_position());
}

TEST_F(ControlLoopLifecycle, ASilentMotorIsMissing) {
  Responder motors(iface_, neck({1, 3}));
  const auto loop = open();
  ASSERT_FALSE(loop);
  EXPECT_EQ(loop.error().text(), "Missing motors: [\"neck_pitch\"]!");
}

TEST_F(ControlLoopLifecycle, RefusedValuesAreNotQueued) {
  Responder motors(iface_, neck({1, 2, 3}));
  auto loop = open_warm();
  ASSERT_TRUE(loop) << loop.error().text();
  const auto refused = (*loop)->post(SetNeckPosition{{0.0, std::nan(""), 0.0}});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text, "set_neck_position: neck_pitch position must be finite, got NaN");
}

}  // namespace
}  // namespace vorlix::control_loop
