// The public ControlLoop: the arguments C++ callers pass unchecked are checked here, the rest
// is the loop itself.
#include <stdexcept>
#include <utility>

#include "src/control_loop/control_loop.hpp"
#include "vorlix/control_loop.hpp"

namespace vorlix::control_loop {

namespace {

void require_valid(const ControlLoopSettings& settings) {
  if (settings.period <= std::chrono::nanoseconds::zero()) {
    throw std::invalid_argument("control loop period must be positive");
  }
  if (settings.allowed_retries < 1) {
    throw std::invalid_argument("control loop allowed_retries must be at least 1");
  }
}

}  // namespace

MotorResult<ControlLoop> ControlLoop::create(const std::optional<std::string>& serial_port,
                                             const std::string& can_interface,
                                             const ControlLoopSettings& settings) {
  require_valid(settings);
  auto loop = VorlixControlLoop::create(serial_port, settings.period, can_interface,
                                        settings.allowed_retries, settings.stats_pub_period,
                                        settings.voltage_rampup_timeout);
  if (!loop) return std::unexpected(std::move(loop.error()));
  return ControlLoop(std::move(*loop));
}

MotorResult<ControlLoop> ControlLoop::create(controller::VorlixMotorController controller,
                                             const ControlLoopSettings& settings) {
  require_valid(settings);
  auto loop = VorlixControlLoop::start(std::move(controller), settings.period,
                                       settings.allowed_retries, settings.stats_pub_period,
                                       settings.voltage_rampup_timeout);
  if (!loop) return std::unexpected(std::move(loop.error()));
  return ControlLoop(std::move(*loop));
}

ControlLoop::ControlLoop(std::unique_ptr<VorlixControlLoop> loop) : loop_(std::move(loop)) {}
ControlLoop::ControlLoop(ControlLoop&&) noexcept = default;
ControlLoop& ControlLoop::operator=(ControlLoop&&) noexcept = default;
ControlLoop::~ControlLoop() = default;

void ControlLoop::close() { loop_->close(); }

std::expected<void, PostError> ControlLoop::post(MotorCommand command) {
  return loop_->post(std::move(command));
}

std::expected<void, PostError> ControlLoop::try_post(MotorCommand& command) {
  return loop_->try_post(command);
}

MotorResult<RawBytes> ControlLoop::async_read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                        std::uint8_t length) {
  return loop_->async_read_raw_bytes(id, address, length);
}

std::expected<RawBytes, RawPacketFailure> ControlLoop::write_raw_packet(
    std::span<const std::uint8_t> packet) {
  return loop_->write_raw_packet(packet);
}

MotorResult<VorlixTorsoPosition> ControlLoop::get_last_position() {
  return loop_->get_last_position();
}

MotorResult<bool> ControlLoop::is_torque_enabled() { return loop_->is_torque_enabled(); }

std::optional<ControlLoopStats> ControlLoop::get_stats() { return loop_->get_stats(); }

const std::unordered_map<std::string, std::uint8_t>& ControlLoop::motor_name_id() const {
  return loop_->motor_name_id();
}

}  // namespace vorlix::control_loop
