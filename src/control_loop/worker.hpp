// The control loop's worker thread: periodic readings into the shared records, posted
// commands in between, timing statistics, and the drain of queued commands on stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "common/poisoned_mutex.hpp"
#include "src/control_loop/command_queue.hpp"
#include "src/control_loop/motor_command.hpp"
#include "src/control_loop/reading.hpp"
#include "src/control_loop/reconnect.hpp"
#include "src/control_loop/recording.hpp"
#include "src/control_loop/stats_record.hpp"

namespace vorlix::control_loop {

using PositionRecord = PoisonedMutex<MotorResult<VorlixTorsoPosition>>;
using StopFlag = PoisonedMutex<bool>;

// What the worker owns. Members are released in reverse order when the worker ends: the
// records first, then the queue's receiving end (posting fails from then on), and last the
// controller, closing both buses.
struct WorkerContext {
  controller::VorlixMotorController controller;
  QueueReceiver<QueuedCommand> commands;
  std::shared_ptr<StopFlag> stop_requested;
  std::shared_ptr<PositionRecord> last_position;
  std::shared_ptr<TorqueRecord> last_torque;
  std::shared_ptr<StatsRecord> last_stats;  // null: statistics are off
  std::chrono::nanoseconds period;
  std::uint64_t allowed_retries;
  std::optional<std::chrono::nanoseconds> stats_pub_period;
  std::shared_ptr<Recording> recording;  // null: nothing is ever recorded
  std::optional<BusAddresses> addresses{};  // none: the buses were given, never reopened
  ReconnectTiming reconnect{};
};

// The worker thread's body. Throws when a record it must update is poisoned.
void run_worker(WorkerContext context);

}  // namespace vorlix::control_loop
