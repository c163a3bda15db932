// What a ControlLoop's callers share with its worker: the sending end of the queue, the
// records the worker publishes, and the worker's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "common/poisoned_mutex.hpp"
#include "src/control_loop/command_queue.hpp"
#include "src/control_loop/motor_command.hpp"
#include "src/control_loop/recording.hpp"
#include "src/control_loop/worker.hpp"
#include "src/control_loop/worker_thread.hpp"
#include "vorlix/control_loop.hpp"

namespace vorlix::control_loop {

struct LoopState {
  QueueSender<QueuedCommand> command_tx;
  std::shared_ptr<StopFlag> stop_requested;
  std::shared_ptr<StatsRecord> last_stats;  // null: statistics are off
  std::shared_ptr<PositionRecord> last_position;
  std::shared_ptr<TorqueRecord> last_torque;
  std::unordered_map<std::string, std::uint8_t> motor_name_id;
  PoisonedMutex<std::unique_ptr<WorkerThread>> worker_handle{nullptr};
  std::atomic<std::thread::id> worker_id{};
  std::shared_ptr<Recording> recording = std::make_shared<Recording>();

  bool on_worker_thread() const { return worker_id.load() == std::this_thread::get_id(); }
};

}  // namespace vorlix::control_loop
