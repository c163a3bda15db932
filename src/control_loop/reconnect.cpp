#include "src/control_loop/reconnect.hpp"

#include <cerrno>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "can_motor/transport/socketcan_backend.hpp"
#include "common/format.hpp"
#include "common/log.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "src/control_loop/retry.hpp"

namespace vorlix::control_loop {

using controller::ControllerError;
using controller::VorlixMotorController;

namespace {

// Stands for a closed servo line until it is reopened: every operation fails with the error
// the hang-up gave, as the port itself would.
class HungUpLine final : public servo_bus::ByteStream {
 public:
  explicit HungUpLine(servo_bus::IoError error) : error_(std::move(error)) {}

  std::expected<std::size_t, servo_bus::SerialError> bytes_to_read() const override {
    return std::unexpected(servo_bus::SerialError{error_.text});
  }
  std::expected<std::size_t, servo_bus::IoError> wait_readable(std::chrono::nanoseconds) override {
    return std::unexpected(error_);
  }
  std::expected<void, servo_bus::IoError> read_exact(std::span<std::uint8_t>) override {
    return std::unexpected(error_);
  }
  std::expected<void, servo_bus::IoError> write_all(std::span<const std::uint8_t>) override {
    return std::unexpected(error_);
  }
  std::expected<void, servo_bus::IoError> flush() override { return std::unexpected(error_); }

 private:
  servo_bus::IoError error_;
};

// The port's own error when the line hung up (not a time-out); none otherwise. A query of
// the input queue reports it with its text alone.
std::optional<servo_bus::IoError> hang_up_of(const ControllerError& error) {
  const auto* bus_error = std::get_if<servo_bus::ServoBusError>(&error.cause());
  if (bus_error == nullptr) return std::nullopt;
  const auto* io = std::get_if<servo_bus::IoError>(&bus_error->cause());
  const auto* serial = std::get_if<servo_bus::SerialError>(&bus_error->cause());
  for (const int hang_up : {EIO, ENXIO, ENODEV}) {
    auto expected = servo_bus::IoError::from_errno(hang_up);
    const bool same_io = io != nullptr && *io == expected;
    if (same_io || (serial != nullptr && serial->text == expected.text)) return expected;
  }
  return std::nullopt;
}

// Stands for a lost CAN interface until a new transport opens: every operation fails with
// the error that showed the loss, and nothing sent meanwhile reaches an interface back up.
class LostInterface final : public can_motor::CanTransport {
 public:
  explicit LostInterface(can_motor::CanError error) : error_(error) {}

  can_motor::CanResult<void> send(const can_motor::CanFrame&) override {
    return std::unexpected(error_);
  }
  can_motor::CanResult<can_motor::CanFrame> recv(can_motor::Duration) override {
    return std::unexpected(error_);
  }

 private:
  can_motor::CanError error_;
};

enum class CanLoss { None, Down, Gone };

// A bound socket reports its interface's deletion once (ENODEV), then fails every send
// (ENXIO) even once an interface of that name is back; a down interface fails sends with
// ENETDOWN until it is up again.
const can_motor::CanError* can_error_of(const ControllerError& error) {
  const auto* neck = std::get_if<controller::NeckFailure>(&error.cause());
  if (neck == nullptr) return nullptr;
  return std::visit(
      [](const auto& cause) -> const can_motor::CanError* {
        if constexpr (std::is_same_v<std::decay_t<decltype(cause)>, can_motor::CanError>) {
          return &cause;
        } else {
          return std::get_if<can_motor::CanError>(&cause.cause());
        }
      },
      neck->cause);
}

CanLoss can_loss_of(const can_motor::CanError* can_error) {
  if (can_error == nullptr) return CanLoss::None;
  if (*can_error == can_motor::CanError::backend(ENODEV) ||
      *can_error == can_motor::CanError::backend(ENXIO)) {
    return CanLoss::Gone;
  }
  if (*can_error == can_motor::CanError::backend(ENETDOWN)) return CanLoss::Down;
  return CanLoss::None;
}

std::chrono::nanoseconds since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                              start);
}

}  // namespace

Bus bus_of(const QueuedCommand& command) {
  return std::visit(
      [](const auto& body) {
        using Body = std::decay_t<decltype(body)>;
        constexpr bool on_neck =
            std::is_same_v<Body, SetNeckPosition> || std::is_same_v<Body, SetNeckYawPosition> ||
            std::is_same_v<Body, SetNeckPitchPosition> ||
            std::is_same_v<Body, SetNeckRollPosition> || std::is_same_v<Body, EnableNeck>;
        return on_neck ? Bus::Neck : Bus::ServoLine;
      },
      command);
}

BusReconnector::BusReconnector(std::optional<BusAddresses> addresses, ReconnectTiming timing,
                               std::uint64_t allowed_retries)
    : addresses_(std::move(addresses)), timing_(timing), allowed_retries_(allowed_retries) {}

void BusReconnector::notice_failure(VorlixMotorController& controller,
                                    const ControllerError& error) {
  if (!addresses_) return;
  const auto now = Clock::now();
  if (addresses_->serial_path && !servo_line_away_) {
    if (auto hang_up = hang_up_of(error)) {
      // Closed at once: an adapter plugged back may only get its name again once it is free.
      controller.replace_servo_line(std::make_unique<HungUpLine>(*hang_up));
      servo_line_away_ = Away{now, now + timing_.interval};
      log::warn(log::kControlLoopTarget,
                fmt::format("Servo line {:?} hung up ({}); reopening it every {:?}",
                            *addresses_->serial_path, error.text(), timing_.interval));
      return;
    }
  }
  if (neck_away_) return;
  const can_motor::CanError* can_error = can_error_of(error);
  switch (can_loss_of(can_error)) {
    case CanLoss::None:
      return;
    case CanLoss::Down:
      if (!can_down_since_) can_down_since_ = now;
      if (now - *can_down_since_ >= timing_.can_down_limit) {
        neck_gone(controller, *can_error, error, now);
      }
      return;
    case CanLoss::Gone:
      neck_gone(controller, *can_error, error, now);
      return;
  }
}

void BusReconnector::neck_gone(VorlixMotorController& controller,
                               const can_motor::CanError& loss, const ControllerError& error,
                               Clock::time_point now) {
  controller.replace_can_bus(std::make_unique<LostInterface>(loss));
  neck_away_ = Away{now, now};
  log::warn(log::kControlLoopTarget,
            fmt::format("CAN interface {:?} went away ({}); opening it anew every {:?}",
                        addresses_->can_interface, error.text(), timing_.interval));
}

void BusReconnector::notice_reading(VorlixMotorController& controller,
                                    const MotorResult<VorlixTorsoPosition>& reading) {
  if (reading) {
    can_down_since_.reset();
    return;
  }
  const auto* communication = std::get_if<MotorError::Communication>(&reading.error().variant());
  if (communication != nullptr && communication->cause) {
    notice_failure(controller, *communication->cause);
  }
}

BusesBack BusReconnector::reopen_due(VorlixMotorController& controller) {
  BusesBack back;
  if (servo_line_away_ && Clock::now() >= servo_line_away_->next_attempt) {
    if (reopen_servo_line(controller)) {
      back.servo_line = since(servo_line_away_->since);
      servo_line_away_.reset();
    } else {
      servo_line_away_->next_attempt = Clock::now() + timing_.interval;
    }
  }
  if (neck_away_ && Clock::now() >= neck_away_->next_attempt) {
    if (reopen_can_bus(controller)) {
      back.neck = since(neck_away_->since);
      neck_away_.reset();
      can_down_since_.reset();
    } else {
      neck_away_->next_attempt = Clock::now() + timing_.interval;
    }
  }
  return back;
}

void BusReconnector::announce(const BusesBack& back) const {
  if (back.servo_line) {
    log::info(log::kControlLoopTarget, fmt::format("Servo line {:?} is back after {:?}",
                                                   *addresses_->serial_path, *back.servo_line));
  }
  if (back.neck) {
    log::info(log::kControlLoopTarget, fmt::format("CAN interface {:?} is back after {:?}",
                                                   addresses_->can_interface, *back.neck));
  }
}

bool BusReconnector::reopen_servo_line(VorlixMotorController& controller) const {
  auto opened =
      servo_bus::SerialPort::open(*addresses_->serial_path, controller.timing().serial_wait);
  if (!opened) return false;
  auto hung_up =
      controller.replace_servo_line(std::make_unique<servo_bus::SerialPort>(std::move(*opened)));
  if (answered_with_retry(
          allowed_retries_, controller.timing().retry_pause,
          [&] { return controller.check_missing_ids(); },
          [](const std::vector<std::uint8_t>& missing) { return missing.empty(); })) {
    return true;
  }
  // Closes the reopened port until the next attempt.
  controller.replace_servo_line(std::move(hung_up));
  return false;
}

bool BusReconnector::reopen_can_bus(VorlixMotorController& controller) const {
  auto opened = can_motor::SocketCanTransport::open(addresses_->can_interface);
  if (!opened) return false;
  auto lost = controller.replace_can_bus(
      std::make_unique<can_motor::SocketCanTransport>(std::move(*opened)));
  // A socket binds to an interface that is still down: back once a motor answers on it.
  if (answered_with_retry(
          allowed_retries_, controller.timing().retry_pause,
          [&] { return controller.check_missing_neck_motors(); },
          [](const std::vector<std::string>& missing) {
            return missing.size() < torso::kNeckNames.size();
          })) {
    return true;
  }
  controller.replace_can_bus(std::move(lost));
  return false;
}

}  // namespace vorlix::control_loop
