// A loop whose readings take longer than its period says so, once, not every tick.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.hpp"
#include "scripted/scripted_neck.hpp"
#include "scripted/scripted_servos.hpp"
#include "scripted/scripted_torso.hpp"
#include "src/control_loop/period_watch.hpp"
#include "support/test_support.hpp"
#include "vorlix/control_loop.hpp"

namespace vorlix::control_loop {
namespace {

using namespace std::chrono_literals;
using test_support::eventually;

// The scripted servos behind a line that takes `delay` for each write.
class SlowLine final : public servo_bus::ByteStream {
 public:
  explicit SlowLine(std::chrono::nanoseconds delay) : delay_(delay) {}
  std::expected<std::size_t, servo_bus::SerialError> bytes_to_read() const override {
    return servos_.bytes_to_read();
  }
  std::expected<std::size_t, servo_bus::IoError> wait_readable(
      std::chrono::nanoseconds wait) override {
    return servos_.wait_readable(wait);
  }
  std::expected<void, servo_bus::IoError> read_exact(std::span<std::uint8_t> buffer) override {
    return servos_.read_exact(buffer);
  }
  std::expected<void, servo_bus::IoError> write_all(std::span<const std::uint8_t> bytes) override {
    std::this_thread::sleep_for(delay_);
    ++writes;
    return servos_.write_all(bytes);
  }
  std::expected<void, servo_bus::IoError> flush() override { return {}; }

  std::atomic<int> writes = 0;

 private:
  std::chrono::nanoseconds delay_;
  testing::ScriptedServos servos_;
};

class LoopWarnings final : public log::Sink {
 public:
  void write(const log::Record& record) override {
    if (record.level != log::Level::Warn || record.target != log::kControlLoopTarget) return;
    std::lock_guard lock(mutex_);
    messages_.emplace_back(record.message);
  }
  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

TEST(PeriodWarning, ALoopThatCannotKeepItsPeriodWarnsOnce) {
  static LoopWarnings warnings;  // stays installed for the rest of the program
  log::install(warnings, log::Level::Warn);
  const std::size_t before = warnings.messages().size();
  auto line = std::make_unique<SlowLine>(2ms);
  SlowLine& slow = *line;
  ControlLoopSettings settings;
  settings.period = 1ms;
  auto loop = ControlLoop::create(
      controller::VorlixMotorController(std::move(line), std::make_unique<testing::ScriptedNeck>(),
                                        testing::fast_timing()),
      settings);
  ASSERT_TRUE(loop) << loop.error().text();
  ASSERT_TRUE(eventually([&] { return warnings.messages().size() > before; }, 30s));
  // Three windows more: still the one warning.
  const int writes = slow.writes;
  ASSERT_TRUE(
      eventually([&] { return slow.writes >= writes + 3 * PeriodWatch::kWindowTicks; }, 30s));
  loop->close();
  const auto messages = warnings.messages();
  ASSERT_EQ(messages.size(), before + 1);
  EXPECT_TRUE(messages.back().starts_with("the loop cannot keep its period of 1ms: "))
      << messages.back();
}

}  // namespace
}  // namespace vorlix::control_loop
