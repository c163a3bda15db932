#include "vorlix/control_loop.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "common/format.hpp"
#include "common/interruption.hpp"
#include "common/log.hpp"
#include "src/control_loop/control_loop_state.hpp"
#include "src/control_loop/retry.hpp"
#include "src/control_loop/worker_scheduling.hpp"

namespace vorlix::control_loop {

using controller::VorlixMotorController;

namespace {

constexpr std::chrono::milliseconds kVoltagePollPause{100};
constexpr std::chrono::seconds kRebootTimeout{1};

bool path_exists(const std::string& path) {
  struct stat metadata {};
  return ::stat(path.c_str(), &metadata) == 0;
}

std::expected<void, MotorError> check_servos(VorlixMotorController& controller) {
  const std::vector<std::uint8_t> missing = controller.check_missing_ids();
  if (missing.empty()) return {};
  if (missing.size() == torso::kServos.size()) return std::unexpected(MotorError::NoMotorsDetected{});
  std::unordered_map<std::uint8_t, std::string> names;
  for (const auto& [name, id] : VorlixMotorController::get_motor_name_id()) names.emplace(id, name);
  std::vector<std::string> missing_names;
  for (const std::uint8_t id : missing) {
    const auto found = names.find(id);
    missing_names.push_back(found != names.end() ? found->second
                                                 : fmt::format("Unknown({})", id));
  }
  return std::unexpected(MotorError::MissingMotors{std::move(missing_names)});
}

// Until every servo reports the supply up, or `timeout` passes; then the reboot.
std::expected<void, MotorError> await_voltage_and_reboot(VorlixMotorController& controller,
                                                         std::uint64_t allowed_retries,
                                                         std::chrono::nanoseconds timeout,
                                                         const std::stop_token& stop) {
  log::info(log::kControlLoopTarget, "Waiting for voltage to be stable at 12V...");
  const auto read_voltages = [&] {
    return with_retry(allowed_retries, controller.timing().retry_pause,
                      [&] { return controller.read_all_voltages(); });
  };
  auto voltages = read_voltages();
  if (!voltages) return std::unexpected(MotorError::Communication{voltages.error()});
  // Monotonic, so a wall clock stepped backwards cannot keep the wait going.
  const auto start = std::chrono::steady_clock::now();
  const auto all_stable = [&] {
    return std::ranges::all_of(*voltages, [](std::uint8_t volts) { return volts >= torso::kMinimumSupply; });
  };
  while (!all_stable() && std::chrono::steady_clock::now() - start < timeout) {
    if (interruption::pause_or_stop(stop, kVoltagePollPause)) {
      return std::unexpected(
          MotorError::Communication{controller::ControllerError::interrupted("voltage wait")});
    }
    voltages = read_voltages();
    if (!voltages) return std::unexpected(MotorError::Communication{voltages.error()});
  }
  if (!all_stable()) {
    return std::unexpected(MotorError::VoltageRampUp{timeout, std::ranges::min(*voltages)});
  }
  const auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - start);
  log::info(log::kControlLoopTarget,
            fmt::format("Voltage is stable at ~12V: {:?} (took {:?})", *voltages, took));
  if (auto rebooted = controller.reboot(kRebootTimeout, stop); !rebooted) {
    return std::unexpected(MotorError::Communication{rebooted.error()});
  }
  return {};
}

// The arguments C++ callers pass unchecked; Python's are checked before they get here.
std::expected<void, MotorError> check_settings(const ControlLoopSettings& settings) {
  if (settings.period <= std::chrono::nanoseconds::zero()) {
    return std::unexpected(MotorError::InvalidSettings{"control loop period must be positive"});
  }
  if (settings.allowed_retries < 1) {
    return std::unexpected(
        MotorError::InvalidSettings{"control loop allowed_retries must be at least 1"});
  }
  return {};
}

bool requests_anything(const WorkerScheduling& scheduling) {
  return scheduling.realtime_priority || scheduling.cpus || scheduling.lock_memory;
}

// The checks of the torso, then the worker; `settings` already checked. Buses the loop
// opened at `addresses` are reopened when lost.
MotorResult<std::unique_ptr<LoopState>> start(VorlixMotorController controller,
                                                       const ControlLoopSettings& settings,
                                                       const std::stop_token& stop,
                                                       std::optional<BusAddresses> addresses) {
  const std::uint64_t allowed_retries = settings.allowed_retries;
  auto stop_requested = std::make_shared<StopFlag>(false);
  auto [command_tx, command_rx] = bounded_queue<QueuedCommand>(kCommandQueueCapacity);
  std::shared_ptr<StatsRecord> last_stats;
  if (settings.stats_pub_period) last_stats = std::make_shared<StatsRecord>();

  const bool has_servo_bus = controller.has_servo_bus();
  if (has_servo_bus) {
    if (auto servos = check_servos(controller); !servos) return std::unexpected(servos.error());
  }
  if (auto missing = controller.check_missing_neck_motors(); !missing.empty()) {
    return std::unexpected(MotorError::MissingMotors{std::move(missing)});
  }
  if (has_servo_bus) {
    if (auto ready = await_voltage_and_reboot(controller, allowed_retries,
                                              settings.voltage_rampup_timeout, stop);
        !ready) {
      return std::unexpected(ready.error());
    }
  }
  auto motor_name_id = VorlixMotorController::get_motor_name_id();
  auto first_reading = read_pos(controller, allowed_retries);
  if (!first_reading) return std::unexpected(first_reading.error());
  bool torque_enabled = false;
  if (has_servo_bus) {
    auto enabled = with_retry(allowed_retries, controller.timing().retry_pause,
                              [&] { return controller.is_torque_enabled(); });
    if (!enabled) return std::unexpected(MotorError::Communication{enabled.error()});
    torque_enabled = *enabled;
  }
  auto last_position = std::make_shared<PositionRecord>(std::move(*first_reading));
  auto last_torque = std::make_shared<TorqueRecord>(torque_enabled);

  std::unique_ptr<LoopState> state(new LoopState{
      .command_tx = std::move(command_tx),
      .stop_requested = stop_requested,
      .last_stats = last_stats,
      .last_position = last_position,
      .last_torque = last_torque,
      .motor_name_id = std::move(motor_name_id),
  });
  auto worker = std::make_unique<WorkerThread>(
      WorkerContext{std::move(controller), std::move(command_rx), std::move(stop_requested),
                    std::move(last_position), std::move(last_torque), std::move(last_stats),
                    settings.period, allowed_retries, settings.stats_pub_period,
                    state->recording, std::move(addresses),
                    ReconnectTiming{settings.reconnect_interval, settings.can_down_limit}},
      state->worker_id);
  if (requests_anything(settings.scheduling)) {
    const auto outcome = apply_scheduling(worker->native_handle(), settings.scheduling);
    for (const auto& refused : outcome.refused) {
      log::warn(log::kControlLoopTarget, fmt::format("Worker scheduling refused: {}", refused));
    }
  }
  **state->worker_handle.lock() = std::move(worker);
  return state;
}

// The worker cannot wait for itself.
std::expected<void, PostError> refuse_on_worker(const LoopState& state) {
  if (state.on_worker_thread()) {
    return std::unexpected(
        PostError{PostFailure::OnWorkerThread, std::string(kOnWorkerThreadMessage)});
  }
  return {};
}

// The checks every caller's post makes before it queues anything.
std::expected<void, PostError> check_post(const LoopState& state,
                                          const MotorCommand& command) {
  if (auto caller = refuse_on_worker(state); !caller) return caller;
  if (auto checked = check_command(command); !checked) {
    return std::unexpected(PostError{PostFailure::Refused, checked.error().text()});
  }
  return {};
}

// Waits for room.
std::expected<void, PostError> queue(LoopState& state, QueuedCommand command) {
  if (!state.command_tx.send(std::move(command))) {
    return std::unexpected(PostError{PostFailure::ChannelClosed, "channel closed"});
  }
  return {};
}

// A request of the loop's own carries no value for a motor: nothing to check but the thread.
std::expected<void, PostError> post_request(LoopState& state, QueuedCommand request) {
  if (auto caller = refuse_on_worker(state); !caller) return caller;
  return queue(state, std::move(request));
}

}  // namespace

MotorResult<ControlLoop> ControlLoop::create(const std::optional<std::string>& serial_port,
                                             const std::string& can_interface,
                                             const ControlLoopSettings& settings,
                                             std::stop_token stop) {
  if (auto valid = check_settings(settings); !valid) return std::unexpected(valid.error());
  if (serial_port && !path_exists(*serial_port)) {
    return std::unexpected(MotorError::PortNotFound{*serial_port});
  }
  auto opened = VorlixMotorController::create(serial_port, can_interface);
  if (!opened) {
    if (std::holds_alternative<controller::NeckFailure>(opened.error().cause())) {
      return std::unexpected(MotorError::CanOpen{std::move(opened.error())});
    }
    return std::unexpected(MotorError::PortOpen{serial_port.value_or(""), opened.error()});
  }
  auto state =
      start(std::move(*opened), settings, stop, BusAddresses{serial_port, can_interface});
  if (!state) return std::unexpected(std::move(state.error()));
  return ControlLoop(std::move(*state));
}

MotorResult<ControlLoop> ControlLoop::create(VorlixMotorController controller,
                                             const ControlLoopSettings& settings,
                                             std::stop_token stop) {
  if (auto valid = check_settings(settings); !valid) return std::unexpected(valid.error());
  auto state = start(std::move(controller), settings, stop, std::nullopt);
  if (!state) return std::unexpected(std::move(state.error()));
  return ControlLoop(std::move(*state));
}

ControlLoop::ControlLoop(std::unique_ptr<LoopState> state) : state_(std::move(state)) {}

ControlLoop::ControlLoop(ControlLoop&&) noexcept = default;

ControlLoop& ControlLoop::operator=(ControlLoop&& other) noexcept {
  if (this == &other) return *this;
  if (state_) close();
  state_ = std::move(other.state_);
  return *this;
}

ControlLoop::~ControlLoop() {
  if (state_) close();
}

void ControlLoop::close() {
  LoopState& state = *state_;
  if (auto stop = state.stop_requested->lock()) **stop = true;
  // The worker would otherwise notice only after its next tick, up to a period away.
  state.command_tx.wake_consumer();
  // A logging handler on the worker closing its own loop: the worker ends after this step.
  // It must neither wait for itself nor for the handle's lock, which a close on another
  // thread holds while it waits for the worker.
  if (state.on_worker_thread()) return;
  std::optional<std::string> failure;
  bool poisoned = false;
  {
    auto handle = state.worker_handle.lock_ignoring_poison();
    poisoned = handle.poisoned();
    std::unique_ptr<WorkerThread> worker = std::move(*handle);
    if (!worker) return;
    failure = worker->join();
    // Its id may be given to a new thread now.
    state.worker_id.store(std::thread::id());
  }
  // Outside the lock: a handler of this record may close the loop again.
  if (!failure) return;
  log::error(log::kControlLoopTarget,
             poisoned ? fmt::format("Failed to join control loop thread (poisoned): {:?}", *failure)
                      : fmt::format("Failed to join control loop thread: {:?}", *failure));
}

std::expected<void, PostError> ControlLoop::post(MotorCommand command) {
  if (auto checked = check_post(*state_, command); !checked) return checked;
  return queue(*state_, to_queued(std::move(command)));
}

std::expected<void, PostError> ControlLoop::try_post(MotorCommand& command) {
  if (auto checked = check_post(*state_, command); !checked) return checked;
  QueuedCommand queued = to_queued(std::move(command));
  const SendOutcome outcome = state_->command_tx.try_send(queued);
  if (outcome != SendOutcome::Sent) command = to_posted(std::move(queued));
  switch (outcome) {
    case SendOutcome::Sent:
      return {};
    case SendOutcome::Full:
      return std::unexpected(PostError{PostFailure::Full, "queue full"});
    case SendOutcome::Closed:
      break;
  }
  return std::unexpected(PostError{PostFailure::ChannelClosed, "channel closed"});
}

MotorResult<RawBytes> ControlLoop::async_read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                        std::uint8_t length) {
  const auto deadline = std::chrono::steady_clock::now() + kRawReadTimeout;
  auto [reply_tx, reply_rx] = reply_channel<RawBytes>();
  using controller::ControllerError;
  using controller::ErrorKind;
  if (auto posted = post_request(*state_, ReadRawBytes{id, address, length, std::move(reply_tx)});
      !posted) {
    const ErrorKind kind = posted.error().failure == PostFailure::ChannelClosed
                               ? ErrorKind::Closed
                               : ErrorKind::Refused;
    return std::unexpected(
        MotorError::Communication{ControllerError(kind, std::move(posted.error().text))});
  }
  auto answer = reply_rx.receive_until(deadline);
  if (!answer) {
    // Unanswered: the read failed on the worker, which logged its error, or the worker ended.
    return std::unexpected(MotorError::Communication{
        answer.error() == ReplyFailure::TimedOut
            ? ControllerError(ErrorKind::TimedOut, "async_read_raw_bytes: no answer in time")
            : ControllerError(ErrorKind::Closed, "async_read_raw_bytes: not answered")});
  }
  return std::move(*answer);
}

std::expected<RawBytes, RawPacketFailure> ControlLoop::write_raw_packet(
    std::span<const std::uint8_t> packet) {
  auto [reply_tx, reply_rx] = reply_channel<RawBytes>();
  if (auto posted = post_request(
          *state_, WriteRawPacket{RawBytes(packet.begin(), packet.end()), std::move(reply_tx)});
      !posted) {
    return std::unexpected(posted.error().failure == PostFailure::OnWorkerThread
                               ? RawPacketFailure::OnWorkerThread
                               : RawPacketFailure::ChannelClosed);
  }
  auto answer = reply_rx.receive();
  if (!answer) return std::unexpected(RawPacketFailure::NotAnswered);
  return std::move(*answer);
}

namespace {

// A copy of a record, taken under its lock; a poisoned lock is logged after the copy, so that a
// logging handler reading the same record does not find it held. The copy is made once,
// straight into what the caller gets.
template <class T>
T copy_record(PoisonedMutex<T>& record, std::string_view poisoned_message) {
  bool poisoned = false;
  T copy = record.copy_ignoring_poison(poisoned);
  if (poisoned) log::error(log::kControlLoopTarget, poisoned_message);
  return copy;
}

}  // namespace

MotorResult<VorlixTorsoPosition> ControlLoop::get_last_position() {
  return copy_record(*state_->last_position, "last_position mutex was poisoned");
}

MotorResult<bool> ControlLoop::is_torque_enabled() {
  return copy_record(*state_->last_torque, "last_torque mutex was poisoned");
}

std::optional<ControlLoopStats> ControlLoop::get_stats() {
  if (!state_->last_stats) return std::nullopt;
  std::optional<ControlLoopStats> stats(std::in_place);
  if (state_->last_stats->copy_into(*stats)) {
    log::error(log::kControlLoopTarget, "last_stats mutex was poisoned");
  }
  return stats;
}

const std::unordered_map<std::string, std::uint8_t>& ControlLoop::motor_name_id() const {
  return state_->motor_name_id;
}

SchedulingOutcome ControlLoop::set_worker_scheduling(const WorkerScheduling& scheduling) {
  // A logging handler on the worker must not wait for the handle's lock, which a close on
  // another thread holds while it joins the worker.
  if (state_->on_worker_thread()) return apply_scheduling(::pthread_self(), scheduling);
  auto handle = state_->worker_handle.lock_ignoring_poison();
  if (*handle) return apply_scheduling((*handle)->native_handle(), scheduling);
  SchedulingOutcome closed;
  closed.refused.emplace_back("the control loop is closed");
  return closed;
}

}  // namespace vorlix::control_loop
