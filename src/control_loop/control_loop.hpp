// The control loop behind the public ControlLoop, as the bindings hold it (shared, so that
// the interpreter's exit can close every live loop).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
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

enum class RecordingFailure { ChannelClosed, AlreadyRecording };

class VorlixControlLoop {
 public:
  // `allowed_retries` at least 1 and a positive period; the caller checks both.
  static MotorResult<std::unique_ptr<VorlixControlLoop>> create(
      const std::optional<std::string>& serialport,
      std::chrono::nanoseconds read_position_loop_period, const std::string& can_bus,
      std::uint64_t allowed_retries, std::optional<std::chrono::nanoseconds> stats_pub_period,
      std::chrono::nanoseconds voltage_rampup_timeout);
  // The same checks and start on a controller already made.
  static MotorResult<std::unique_ptr<VorlixControlLoop>> start(
      controller::VorlixMotorController controller,
      std::chrono::nanoseconds read_position_loop_period, std::uint64_t allowed_retries,
      std::optional<std::chrono::nanoseconds> stats_pub_period,
      std::chrono::nanoseconds voltage_rampup_timeout);

  VorlixControlLoop(const VorlixControlLoop&) = delete;
  VorlixControlLoop& operator=(const VorlixControlLoop&) = delete;
  ~VorlixControlLoop();

  // Stops the worker once it has carried out what is queued, and waits for it. Never fails.
  // On the worker itself (a logging handler) it only asks for the stop: it cannot wait there.
  void close();

  // Waits for room in the queue.
  std::expected<void, PostError> post(MotorCommand command);
  // Never waits: fails with Full, leaving `command` as it was, when there is no room.
  std::expected<void, PostError> try_post(MotorCommand& command);
  // Waits at most kRawReadTimeout, queueing included.
  MotorResult<RawBytes> async_read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                             std::uint8_t length);
  // Waits for the answer without a time limit.
  std::expected<RawBytes, RawPacketFailure> write_raw_packet(std::span<const std::uint8_t> packet);

  MotorResult<VorlixTorsoPosition> get_last_position();
  MotorResult<bool> is_torque_enabled();
  // Copies every sample; the worker goes on meanwhile.
  std::optional<ControlLoopStats> get_stats();
  const std::unordered_map<std::string, std::uint8_t>& motor_name_id() const {
    return motor_name_id_;
  }

  // Every tick and executed command from now on, into a ring of `capacity` records (1 to
  // kMaxRecordingCapacity, the caller checks). Never waits for the worker.
  std::expected<void, RecordingFailure> start_recording(std::size_t capacity);
  void stop_recording();
  // What was captured since the last take, and how many records were lost meanwhile.
  TakenRecords take_recording();

 private:
  VorlixControlLoop(QueueSender<MotorCommand> command_tx, std::shared_ptr<StopFlag> stop_requested,
                    std::shared_ptr<StatsRecord> last_stats,
                    std::shared_ptr<PositionRecord> last_position,
                    std::shared_ptr<TorqueRecord> last_torque,
                    std::unordered_map<std::string, std::uint8_t> motor_name_id);

  void start_worker(WorkerContext context);
  // The checks every post makes before it queues anything.
  std::expected<void, PostError> check_post(const MotorCommand& command) const;
  bool on_worker_thread() const { return worker_id_.load() == std::this_thread::get_id(); }

  QueueSender<MotorCommand> command_tx_;
  std::shared_ptr<StopFlag> stop_requested_;
  std::shared_ptr<StatsRecord> last_stats_;  // null: statistics are off
  std::shared_ptr<PositionRecord> last_position_;
  std::shared_ptr<TorqueRecord> last_torque_;
  std::unordered_map<std::string, std::uint8_t> motor_name_id_;
  PoisonedMutex<std::unique_ptr<WorkerThread>> worker_handle_{nullptr};
  std::atomic<std::thread::id> worker_id_;
  std::shared_ptr<Recording> recording_ = std::make_shared<Recording>();
};

}  // namespace vorlix::control_loop
