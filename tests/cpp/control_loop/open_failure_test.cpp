// A loop that cannot open its buses says which one failed.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vorlix::control_loop
