// The long operations end on their caller's std::stop_token, whether the stop came before the
// call or from another thread while it waits, with the kind Interrupted, and send nothing
// once it came. Every pause is an hour: only the stop can end one in time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "scripted/scripted_torso.hpp"
#include "support/test_support.hpp"
#include "vorlix/control_loop.hpp"

namespace vorlix::control_loop {
namespace {

using namespace std::chrono_literals;
using controller::ErrorKind;

struct Outcome {
  bool failed;
  ErrorKind kind;
  std::string text;
};

template <class Result>
Outcome outcome_of(const Result& result) {
  if (result) return {false, ErrorKind::Refused, ""};
  return {true, result.error().kind(), result.error().text()};
}

// The buses stay the test's: the loop's create destroys its controller when it fails.
class BorrowedLine final : public servo_bus::ByteStream {
 public:
  explicit BorrowedLine(testing::ScriptedServos& line) : line_(line) {}
  std::expected<std::size_t, servo_bus::SerialError> bytes_to_read() const override {
    return line_.bytes_to_read();
  }
  std::expected<std::size_t, servo_bus::IoError> wait_readable(
      std::chrono::nanoseconds wait) override {
    return line_.wait_readable(wait);
  }
  std::expected<void, servo_bus::IoError> read_exact(std::span<std::uint8_t> buffer) override {
    return line_.read_exact(buffer);
  }
  std::expected<void, servo_bus::IoError> write_all(std::span<const std::uint8_t> bytes) override {
    return line_.write_all(bytes);
  }
  std::expected<void, servo_bus::IoError> flush() override { return line_.flush(); }

 private:
  testing::ScriptedServos& line_;
};

class BorrowedBus final : public can_motor::CanTransport {
 public:
  explicit BorrowedBus(testing::ScriptedNeck& bus) : bus_(bus) {}
  can_motor::CanResult<void> send(const can_motor::CanFrame& frame) override {
    return bus_.send(frame);
  }
  can_motor::CanResult<can_motor::CanFrame> recv(can_motor::Duration timeout) override {
    return bus_.recv(timeout);
  }

 private:
  testing::ScriptedNeck& bus_;
};

// A torso with a homing to do, one servo's supply at 10.0 V and pauses of an hour.
struct Torso {
  testing::ScriptedServos servos;
  testing::ScriptedNeck neck;
  controller::VorlixMotorController controller = make_controller();

  controller::VorlixMotorController make_controller() {
    neck.with([](auto& motors) { motors[0].position = 0.3F; });
    servos.with([](auto& table) { table.at(3).registers[62] = 100; });
    auto timing = testing::fast_timing();
    timing.homing_pause = 1h;
    timing.reboot_ping_pause = 1h;
    return controller::VorlixMotorController(std::make_unique<BorrowedLine>(servos),
                                             std::make_unique<BorrowedBus>(neck), timing);
  }
};

// Everything sent on either bus so far, counted across takes.
class SentCount {
 public:
  explicit SentCount(Torso& torso) : torso_(torso) {}
  std::size_t now() {
    const std::lock_guard lock(mutex_);
    count_ += torso_.servos.take_requests().size() + torso_.neck.take_sent().size();
    return count_;
  }

 private:
  Torso& torso_;
  std::mutex mutex_;
  std::size_t count_ = 0;
};

struct Operation {
  const char* name;
  std::function<Outcome(Torso&, std::stop_token)> run;
  const char* text;
  // Requests a wait may be in the middle of when the stop comes: the loop's supply wait
  // polls every 100 ms, and a poll under way is finished.
  std::size_t in_flight;
};

const Operation kOperations[] = {
    {"neck_home",
     [](Torso& torso, std::stop_token stop) {
       return outcome_of(torso.controller.neck_home(2.0, 0.01, std::nullopt, std::nullopt, stop));
     },
     "neck_home: interrupted", 0},
    {"reboot",
     [](Torso& torso, std::stop_token stop) {
       return outcome_of(torso.controller.reboot(1h, stop));
     },
     "reboot: interrupted", 0},
    {"voltage_wait",
     [](Torso& torso, std::stop_token stop) {
       ControlLoopSettings settings;
       settings.voltage_rampup_timeout = 1h;
       return outcome_of(ControlLoop::create(std::move(torso.controller), settings, stop));
     },
     "Motor communication error! Check connections and power supply.", 2},
};

class CancellationTest : public ::testing::TestWithParam<Operation> {};

TEST_P(CancellationTest, EndsPromptlyInterruptedAndSendsNothingMore) {
  const Operation& operation = GetParam();
  const auto check = [&](const Outcome& outcome, std::chrono::steady_clock::duration took) {
    EXPECT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.kind, ErrorKind::Interrupted);
    EXPECT_EQ(outcome.text, operation.text);
    EXPECT_LT(took, 10s);
  };

  // Already requested: it ends at its first wait.
  std::size_t before_first_wait = 0;
  {
    Torso torso;
    SentCount sent(torso);
    std::stop_source stop;
    stop.request_stop();
    const auto start = std::chrono::steady_clock::now();
    check(operation.run(torso, stop.get_token()), std::chrono::steady_clock::now() - start);
    before_first_wait = sent.now();
    EXPECT_GT(before_first_wait, 0u);
  }

  // Requested from another thread once it waits.
  Torso torso;
  SentCount sent(torso);
  std::stop_source stop;
  std::atomic<std::size_t> at_stop = 0;
  std::jthread stopper([&] {
    const bool waiting =
        test_support::eventually([&] { return sent.now() >= before_first_wait; }, 10s);
    stop.request_stop();
    at_stop = sent.now();
    EXPECT_TRUE(waiting);
  });
  const auto start = std::chrono::steady_clock::now();
  check(operation.run(torso, stop.get_token()), std::chrono::steady_clock::now() - start);
  stopper.join();
  EXPECT_LE(sent.now(), at_stop + operation.in_flight);
}

INSTANTIATE_TEST_SUITE_P(Operations, CancellationTest, ::testing::ValuesIn(kOperations),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace vorlix::control_loop
