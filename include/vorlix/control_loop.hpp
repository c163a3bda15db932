// The control loop: checks the torso at start, then hands the controller to a worker thread
// that reads every joint on a fixed period and carries out posted commands in order between
// its readings.
//
// Contracts, unless a function says otherwise:
// - Threads: every method may be called from any thread, at once from several. On the
//   loop's own worker (a log sink called there) post and write_raw_packet refuse with
//   OnWorkerThread and close only asks for the stop: the worker cannot wait for itself.
// - Units: radians, seconds; periods and waits as std::chrono durations.
// - Side effects: a posted command reaches the motors on the worker, at the earliest at the
//   next tick; a command that fails there is logged (<vorlix/log.hpp>, on the worker) and
//   the loop goes on.
// - Errors: as values, never an exception.
// - Real-time safe (marked RT below): bounded, never waiting for I/O or for the worker's
//   tick; the only lock they take is held by others only to copy or queue one value.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
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

enum class RawPacketFailure {
  ChannelClosed,   // the worker has ended
  NotAnswered,     // the write failed on the worker, which logged why, or the worker ended
  OnWorkerThread,  // as for PostFailure
};

// The kinds these failures share with every other error of the library; Full is a refusal
// for now (try_post again later).
constexpr controller::ErrorKind kind_of(PostFailure failure) {
  return failure == PostFailure::ChannelClosed ? controller::ErrorKind::Closed
                                               : controller::ErrorKind::Refused;
}
constexpr controller::ErrorKind kind_of(RawPacketFailure failure) {
  return failure == RawPacketFailure::OnWorkerThread ? controller::ErrorKind::Refused
                                                     : controller::ErrorKind::Closed;
}

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

// What a loop's callers and its worker share; complete only inside the library.
struct LoopState;

class ControlLoop {
 public:
  // Opens the real buses (see VorlixMotorController::create) and starts. Refuses a period
  // that is not positive or no allowed attempt with MotorError::InvalidSettings (Refused)
  // before anything is opened.
  // Before the worker starts, on the calling thread: pings every servo and neck motor,
  // waits for every servo's supply (at most settings.voltage_rampup_timeout, reading every
  // 100 ms), reboots the servos (waiting at most 1 s for them) and takes a first reading. Ends early with
  // MotorError::Communication (no cause) when `stop` is requested during the supply wait, or
  // with the reboot's "reboot: interrupted" during the reboot wait.
  static MotorResult<ControlLoop> create(const std::optional<std::string>& serial_port,
                                         const std::string& can_interface,
                                         const ControlLoopSettings& settings,
                                         std::stop_token stop = {});
  // The same on a controller with its buses; the loop owns it from then on.
  static MotorResult<ControlLoop> create(controller::VorlixMotorController controller,
                                         const ControlLoopSettings& settings,
                                         std::stop_token stop = {});

  ControlLoop(ControlLoop&&) noexcept;
  ControlLoop& operator=(ControlLoop&&) noexcept;
  ControlLoop(const ControlLoop&) = delete;
  ControlLoop& operator=(const ControlLoop&) = delete;
  ~ControlLoop();  // closes

  // Stops the worker once it has carried out what is queued, and waits for it: as long as
  // the queued commands take. Never fails. On the worker itself it only asks for the stop.
  // Leaves the motors as the last command left them (no torque change).
  void close();

  // Checks `command` (refuses non-finite positions with Refused), then queues it, waiting
  // for room while the queue holds kCommandQueueCapacity commands.
  std::expected<void, PostError> post(MotorCommand command);
  // RT. As post but never waits: fails with Full, leaving `command` as it was, when there is
  // no room. May allocate a block of the queue; a refusal allocates its text.
  std::expected<void, PostError> try_post(MotorCommand& command);
  // `length` bytes of servo `id`'s registers from `address`, read on the worker. Waits at
  // most kRawReadTimeout, queueing included; MotorError::Communication (no cause) when the
  // post fails or the time runs out.
  MotorResult<RawBytes> async_read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                             std::uint8_t length);
  // VorlixMotorController::write_raw_packet on the worker. Waits for the answer without a
  // time limit.
  std::expected<RawBytes, RawPacketFailure> write_raw_packet(std::span<const std::uint8_t> packet);

  // RT. The latest reading, or the error of the latest attempt; a copy, no allocation for a
  // reading.
  MotorResult<VorlixTorsoPosition> get_last_position();
  // RT. The torque state the latest torque command (or the start) left.
  MotorResult<bool> is_torque_enabled();
  // Copies every sample (allocates, grows with the loop's life); the worker goes on
  // meanwhile. None unless settings.stats_pub_period is set.
  std::optional<ControlLoopStats> get_stats();
  // No I/O; valid for the loop's life.
  const std::unordered_map<std::string, std::uint8_t>& motor_name_id() const;
  // Applies `scheduling` to the running worker; never fails, never stops the loop.
  SchedulingOutcome set_worker_scheduling(const WorkerScheduling& scheduling);

 protected:
  // How the library's own faces on a loop (its recording), which derive from it, reach the
  // state; of no use outside the library, where the state's type is incomplete.
  LoopState& state() { return *state_; }

 private:
  explicit ControlLoop(std::unique_ptr<LoopState> state);
  std::unique_ptr<LoopState> state_;  // null once moved from
};

}  // namespace vorlix::control_loop
