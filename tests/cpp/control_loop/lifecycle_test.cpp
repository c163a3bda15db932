// A neck-only control loop on a vcan interface with scripted motors: start-up, readings,
// posted commands, statistics and the drain on close, as the worker really runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "can_motor/resting_neck.hpp"
#include "common/log.hpp"
#include "vorlix/control_loop.hpp"
#include "support/test_support.hpp"

namespace vorlix::control_loop {
namespace {

using namespace std::chrono_literals;
using can_motor::test::resting_neck;
using can_motor::test::Responder;
using can_motor::test::WireFrame;

// Runs `body` on a thread of its own. A body still running after `limit` is deadlocked, which
// no test can recover from: the program ends there, naming it.
void must_finish(const char* what, std::function<void()> body, std::chrono::seconds limit = 20s) {
  std::promise<void> finished;
  auto ended = finished.get_future();
  std::thread runner([&] {
    body();
    finished.set_value();
  });
  if (ended.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "deadlock: %s did not return within %llds\n", what,
                 static_cast<long long>(limit.count()));
    std::_Exit(EXIT_FAILURE);
  }
  runner.join();
}

class ControlLoopLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* iface = std::getenv("VORLIX_CAN_IFACE");
    ASSERT_NE(iface, nullptr) << "run these tests through tools/with-vcan";
    iface_ = iface;
  }

  // The scripted motors answer at once; a wait far beyond the real motors' 20 ms keeps a slow
  // host (valgrind, one-CPU kernel) from turning a late answer into a missing motor.
  MotorResult<ControlLoop> open() {
    auto controller = controller::VorlixMotorController::create(
        std::nullopt, iface_, controller::Timing{.neck_reply = 500ms});
    if (!controller) return std::unexpected(MotorError::PortOpen{"", controller.error()});
    return ControlLoop::create(std::move(*controller),
                               {.period = 10ms, .allowed_retries = 5, .stats_pub_period = 30ms,
                                .voltage_rampup_timeout = 30s});
  }

  std::string iface_;
};

TEST_F(ControlLoopLifecycle, ReadsPostsAndDrainsOnClose) {
  Responder motors(iface_, resting_neck({1, 2, 3}));
  auto loop = open();
  ASSERT_TRUE(loop) << loop.error().text();
  const auto first = loop->get_last_position();
  ASSERT_TRUE(first);
  EXPECT_NEAR(first->neck[0], 0.0, 1e-3);
  EXPECT_EQ(loop->is_torque_enabled(), false);
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(loop->post(SetNeckYawPosition{0.01 * i}));
  // Neck-only: a raw servo read fails at once.
  EXPECT_FALSE(loop->async_read_raw_bytes(1, 56, 2));
  ASSERT_TRUE(test_support::eventually([&] {
    const auto stats = loop->get_stats();
    return stats->period.size() >= 5 && !stats->read_dt.empty();
  }, 10s)) << "no statistics published";
  loop->close();
  loop->close();
  const auto seen = motors.finish();
  const auto yaw_commands = std::ranges::count_if(
      seen, [](const WireFrame& frame) { return frame.can_id == 1 && frame.data[7] != 0xFC; });
  EXPECT_GE(yaw_commands, 30);
  EXPECT_EQ(loop->post(EnableTorque{}).error().failure, PostFailure::ChannelClosed);
  EXPECT_TRUE(loop->get_last_position());
}

// A logging handler that closes the loop from the worker whenever the worker warns.
class ClosingOnWarnings final : public log::Sink {
 public:
  void write(const log::Record& record) override {
    ControlLoop* loop = target.load();
    if (record.level == log::Level::Warn && loop != nullptr) loop->close();
  }
  std::atomic<ControlLoop*> target = nullptr;
};

TEST_F(ControlLoopLifecycle, AHandlerOnTheWorkerClosesWhileAnotherThreadCloses) {
  static ClosingOnWarnings handler;  // the sink stays installed for the rest of the program
  log::install(handler, log::Level::Debug);
  Responder motors(iface_, resting_neck({1, 2, 3}));
  auto loop = open();
  ASSERT_TRUE(loop) << loop.error().text();
  handler.target = &*loop;
  int posted = 0;
  // Each one is clamped with a warning; the first closes the loop, the rest are drained.
  for (int i = 0; i < 60; ++i) posted += loop->post(SetNeckYawPosition{9.0}).has_value();
  must_finish("close() from the test", [&] { loop->close(); });
  handler.target = nullptr;
  const auto seen = motors.finish();
  EXPECT_GE(std::ranges::count_if(seen, [](const WireFrame& frame) { return frame.can_id == 1; }),
            posted);
}

TEST_F(ControlLoopLifecycle, ASilentMotorIsMissing) {
  Responder motors(iface_, resting_neck({1, 3}));
  const auto loop = open();
  ASSERT_FALSE(loop);
  EXPECT_EQ(loop.error().text(), "Missing motors: [\"neck_pitch\"]!");
}

TEST_F(ControlLoopLifecycle, RefusedValuesAreNotQueued) {
  Responder motors(iface_, resting_neck({1, 2, 3}));
  auto loop = open();
  ASSERT_TRUE(loop) << loop.error().text();
  const auto refused = loop->post(SetNeckPosition{{0.0, std::nan(""), 0.0}});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text, "set_neck_position: neck_pitch position must be finite, got NaN");
}

}  // namespace
}  // namespace vorlix::control_loop
