// A loop that cannot open its buses says which one failed.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "support/pty.hpp"
#include "vorlix/control_loop.hpp"

namespace vorlix::control_loop {
namespace {

TEST(ControlLoopOpen, BlamesTheBusThatFailed) {
  const test_support::Pty servo_line;
  const struct {
    std::optional<std::string> serial_port;
    std::string text_start;
  } cases[] = {
      {std::nullopt, "failed to open CAN bus 'nocan0': "},
      {servo_line.slave_path(), "failed to open CAN bus 'nocan0': "},
      {"/dev/null",
       "Could not open serial port: /dev/null! Check permissions and if the port is already in "
       "use."},
  };
  for (const auto& [serial_port, text_start] : cases) {
    const auto loop = ControlLoop::create(serial_port, "nocan0", {});
    ASSERT_FALSE(loop);
    EXPECT_TRUE(loop.error().text().starts_with(text_start)) << loop.error().text();
  }
}

// Checked before any bus is opened: a port that is not there is not reported.
TEST(ControlLoopOpen, RefusesBadSettingsFirst) {
  ControlLoopSettings no_period;
  no_period.period = std::chrono::nanoseconds::zero();
  ControlLoopSettings no_attempt;
  no_attempt.allowed_retries = 0;
  const struct {
    ControlLoopSettings settings;
    const char* text;
  } cases[] = {
      {no_period, "control loop period must be positive"},
      {no_attempt, "control loop allowed_retries must be at least 1"},
  };
  for (const auto& [settings, text] : cases) {
    const auto loop = ControlLoop::create(std::string("/nonexistent"), "nocan0", settings);
    ASSERT_FALSE(loop);
    EXPECT_EQ(loop.error().text(), text);
    EXPECT_EQ(loop.error().kind(), controller::ErrorKind::Refused);
  }
}

}  // namespace
}  // namespace vorlix::control_loop
