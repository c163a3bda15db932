// Servo reboot through the controller: seven servos on a pty that answer pings while they are
// powered, the controller's CAN side on the test's vcan interface.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/log.hpp"
#include "vorlix/controller.hpp"
#include "support/pty.hpp"

namespace vorlix::controller {
namespace {

using namespace std::chrono_literals;

// The servos on the master side of a pty: every ping or reboot to a present id is answered
// with an empty status packet.
class AnsweringServos {
 public:
  explicit AnsweringServos(std::set<std::uint8_t> absent) : absent_(std::move(absent)) {
    thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
  }
  ~AnsweringServos() {
    thread_.request_stop();
    thread_.join();
  }
  const std::string& slave_path() const { return pty_.slave_path(); }
  std::vector<std::uint8_t> instructions() {
    std::lock_guard lock(mutex_);
    return instructions_;
  }

 private:
  void serve(const std::stop_token& stop) {
    std::vector<std::uint8_t> input;
    while (!stop.stop_requested()) {
      pollfd ready{pty_.master(), POLLIN, 0};
      if (poll(&ready, 1, 5) <= 0 || (ready.revents & POLLIN) == 0) continue;
      std::uint8_t chunk[64];
      const ssize_t got = read(pty_.master(), chunk, sizeof chunk);
      if (got <= 0) continue;
      input.insert(input.end(), chunk, chunk + got);
      // Every instruction here is FF FF id 02 code checksum.
      while (input.size() >= 6) {
        const std::uint8_t id = input[2];
        {
          std::lock_guard lock(mutex_);
          instructions_.push_back(input[4]);
        }
        input.erase(input.begin(), input.begin() + 6);
        if (absent_.contains(id)) continue;
        const std::uint8_t checksum = static_cast<std::uint8_t>(~(id + 2 + 0));
        const std::uint8_t reply[] = {0xFF, 0xFF, id, 0x02, 0x00, checksum};
        if (write(pty_.master(), reply, sizeof reply) != sizeof reply) std::abort();
      }
    }
  }

  std::set<std::uint8_t> absent_;
  test_support::Pty pty_;
  std::mutex mutex_;
  std::vector<std::uint8_t> instructions_;
  std::jthread thread_;
};

class RecordingSink : public log::Sink {
 public:
  void write(const log::Record& record) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(record.target);
    lines_.back() += " ";
    lines_.back() += record.message;
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

RecordingSink& recorded_log() {
  static RecordingSink sink;
  static const bool installed = (log::install(sink, log::Level::Debug), true);
  (void)installed;
  return sink;
}

// The controllers wait long enough for a reply that a busy host never makes a present servo
// miss one, and pause so long between ping passes that one pass more or less cannot pass unseen.
constexpr Timing kTiming{.serial_wait = 300ms, .reboot_ping_pause = 600ms};

VorlixMotorController open_controller(const std::string& serial_path) {
  const char* can_iface = std::getenv("VORLIX_CAN_IFACE");
  if (can_iface == nullptr) {
    ADD_FAILURE() << "VORLIX_CAN_IFACE is not set: run these tests through tools/with-vcan";
    std::abort();
  }
  auto controller = VorlixMotorController::create(serial_path, can_iface, kTiming);
  if (!controller) {
    ADD_FAILURE() << controller.error().text();
    std::abort();
  }
  return std::move(*controller);
}

std::vector<std::string> reboot_lines() {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < kMotorNames.size(); ++i) {
    lines.push_back("vorlix_motor_controller::controller Rebooting motor " +
                    std::string(kMotorNames[i]) + " (id=" + std::to_string(i + 1) + ")");
  }
  return lines;
}

// With servo 6 silent, each ping pass ends one pause and one silent wait after the one before.
constexpr auto kPassInterval = kTiming.reboot_ping_pause + kTiming.serial_wait;

TEST(Reboot, AllServosAnswerAfterOnePingPass) {
  AnsweringServos servos({});
  auto controller = open_controller(servos.slave_path());
  recorded_log().take();

  const auto start = std::chrono::steady_clock::now();
  const auto rebooted = controller.reboot(10s);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  ASSERT_TRUE(rebooted) << rebooted.error().text();
  EXPECT_EQ(recorded_log().take(), reboot_lines());
  EXPECT_GE(elapsed, kTiming.reboot_ping_pause);
  EXPECT_LT(elapsed, 2 * kTiming.reboot_ping_pause);
  // Seven reboots (0x08), then one ping (0x01) per servo.
  const std::vector<std::uint8_t> expected = {0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08,
                                              0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
  EXPECT_EQ(servos.instructions(), expected);
}

TEST(Reboot, AnAbsentServoFailsAtTheTimeOutWithItsNameAndId) {
  AnsweringServos servos({6});
  auto controller = open_controller(servos.slave_path());
  recorded_log().take();

  // Half-way between the starts of the third and fourth passes: the time-out is seen after
  // the third.
  const auto timeout = 2 * kPassInterval + kPassInterval / 2;
  const auto start = std::chrono::steady_clock::now();
  const auto rebooted = controller.reboot(timeout);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  ASSERT_FALSE(rebooted);
  EXPECT_EQ(rebooted.error().text(),
            "Some motors did not respond after reboot ([\"nose_left\"] - ids: [6])");
  auto expected_lines = reboot_lines();
  expected_lines.push_back(
      "vorlix_motor_controller::controller Motor nose_left (id=6) did not respond after reboot "
      "within timeout");
  EXPECT_EQ(recorded_log().take(), expected_lines);
  EXPECT_GE(elapsed, timeout);
  // The silent reboot instruction, three passes, and not a fourth.
  EXPECT_LT(elapsed, kTiming.serial_wait + 3 * kPassInterval + kPassInterval / 2);
  // Seven pings in the first pass, then only servo 6 in the other two.
  const auto instructions = servos.instructions();
  EXPECT_EQ(std::count(instructions.begin(), instructions.end(), std::uint8_t{0x01}), 9);
}

TEST(CheckMissingIds, ListsTheSilentServosInTableOrder) {
  AnsweringServos servos({6, 2});
  auto controller = open_controller(servos.slave_path());
  EXPECT_EQ(controller.check_missing_ids(), (std::vector<std::uint8_t>{2, 6}));
  // One ping per servo, nothing else.
  EXPECT_EQ(servos.instructions(), std::vector<std::uint8_t>(7, 0x01));
}

TEST(Reboot, WithoutASerialPortSucceedsAtOnceAndLogsNothing) {
  const char* can_iface = std::getenv("VORLIX_CAN_IFACE");
  ASSERT_NE(can_iface, nullptr) << "run these tests through tools/with-vcan";
  auto controller = VorlixMotorController::create(std::nullopt, can_iface);
  ASSERT_TRUE(controller) << controller.error().text();
  recorded_log().take();
  EXPECT_TRUE(controller->reboot(1s));
  EXPECT_TRUE(recorded_log().take().empty());
}

}  // namespace
}  // namespace vorlix::controller
