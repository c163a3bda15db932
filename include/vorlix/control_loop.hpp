// The control loop: checks the torso at start, then hands the controller to a worker thread
// that reads every joint on a fixed period and carries out posted commands. Callers post
// commands and read the latest records; every method may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <vorlix/controller.hpp>
#include <vorlix/motor_command.hpp>
#include <vorlix/motor_error.hpp>
#include <vorlix/torso_position.hpp>

namespace vorlix::control_loop {

inline constexpr std::size_t kCommandQueueCapacity = 100;
inline constexpr std::chrono::seconds kRawReadTimeout{1};

enum class PostFailure {
  Refused,         // a value that must not reach a motor; `text` says which
  ChannelClosed,   // the worker has ended
  OnWorkerThread,  // a logging handler on the worker waiting for the worker
  Full             // only from try_post
};
struct PostError {
  PostFailure failure;
  std::string text;
};

enum class RawPacketFailure { ChannelClosed, NotAnswered, OnWorkerThread };

inline constexpr std::string_view kOnWorkerThreadMessage =
    "control loop called from its own worker thread (a logging handler calling back into it?)";

// How the worker thread is scheduled: a request, of which the system may refuse any part.
struct WorkerScheduling {
  std::optional<int> realtime_priority;  // SCHED_FIFO, 1 to 99
  std::optional<std::vector<int>> cpus;  // the CPUs the worker may run on
  bool lock_memory = false;              // the process's pages, now and later (mlockall)
};

// What took effect, read back from the system, and each refusal with the system's reason.
struct SchedulingOutcome {
  std::optional<int> realtime_priority;  // none: the worker is not SCHED_FIFO
  std::vector<int> cpus;                 // the worker's CPUs
  bool memory_locked = false;            // locked by this request
  std::vector<std::string> refused;
};

struct ControlLoopSettings {
  std::chrono::nanoseconds period = std::chrono::milliseconds(10);  // positive
  std::uint64_t allowed_retries = 5;  // attempts of each servo read, at least 1
  // Statistics are kept when set.
  std::optional<std::chrono::nanoseconds> stats_pub_period;
  // How long to wait at start for every servo to report its supply up.
  std::chrono::nanoseconds voltage_rampup_timeout = std::chrono::seconds(30);
  // Buses the loop opened itself and lost (a hung-up servo line, a CAN interface deleted or
  // down longer than `can_down_limit`) are reopened this often by the worker.
  std::chrono::nanoseconds reconnect_interval = std::chrono::milliseconds(200);
  std::chrono::nanoseconds can_down_limit = std::chrono::seconds(1);
  // Applied as the worker starts; refusals are logged as warnings.
  WorkerScheduling scheduling{};
};

struct ControlLoopRecording;  // the library's own recording access

class ControlLoop {
 public:
  // Opens the real buses (see VorlixMotorController::create) and starts. Throws
  // std::invalid_argument on a period that is not positive or no allowed attempt.
  static MotorResult<ControlLoop> create(const std::optional<std::string>& serial_port,
                                         const std::string& can_interface,
                                         const ControlLoopSettings& settings);
  // Starts on a controller with its buses; the loop owns it from then on.
  static MotorResult<ControlLoop> create(controller::VorlixMotorController controller,
                                         const ControlLoopSettings& settings);

  ControlLoop(ControlLoop&&) noexcept;
  ControlLoop& operator=(ControlLoop&&) noexcept;
  ControlLoop(const ControlLoop&) = delete;
  ControlLoop& operator=(const ControlLoop&) = delete;
  ~ControlLoop();  // closes

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
  const std::unordered_map<std::string, std::uint8_t>& motor_name_id() const;
  // Applies `scheduling` to the running worker; never fails, never stops the loop.
  SchedulingOutcome set_worker_scheduling(const WorkerScheduling& scheduling);

  // What the callers and the worker share; defined inside the library.
  struct State;

 private:
  friend struct ControlLoopRecording;

  explicit ControlLoop(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;  // null once moved from
};

}  // namespace vorlix::control_loop
