#include "vorlix/controller_error.hpp"

#include <cmath>
#include <type_traits>

#include "common/format.hpp"

namespace vorlix::controller {

std::string NeckFailure::text() const {
  const std::string cause_text = std::visit([](const auto& error) { return error.text(); }, cause);
  return fmt::format("{}: {}", context, cause_text);
}

std::string ControllerError::text() const {
  if (const auto* bus_error = std::get_if<servo_bus::ServoBusError>(&cause_)) {
    return bus_error->text();
  }
  if (const auto* neck_failure = std::get_if<NeckFailure>(&cause_)) return neck_failure->text();
  return std::get<ControllerMessage>(cause_).text;
}

namespace {

ErrorKind kind_of(const can_motor::CanError& error) {
  switch (error.kind()) {
    case can_motor::CanError::Kind::Timeout:
      return ErrorKind::TimedOut;
    case can_motor::CanError::Kind::FrameTooLarge:
    case can_motor::CanError::Kind::InvalidId:
      return ErrorKind::Refused;
    case can_motor::CanError::Kind::Backend:
      break;
  }
  return ErrorKind::BusIo;
}

ErrorKind kind_of(const can_motor::damiao::DamiaoError& error) {
  return std::visit(
      [](const auto& cause) {
        using Cause = std::decay_t<decltype(cause)>;
        if constexpr (std::is_same_v<Cause, can_motor::CanError>) {
          return kind_of(cause);
        } else if constexpr (std::is_same_v<Cause, can_motor::damiao::UnknownRegister> ||
                             std::is_same_v<Cause, can_motor::damiao::ReadOnly>) {
          return ErrorKind::Refused;
        } else {
          return ErrorKind::Protocol;
        }
      },
      error.cause());
}

ErrorKind kind_of(const servo_bus::ServoBusError& error) {
  return std::visit(
      [](const auto& cause) {
        using Cause = std::decay_t<decltype(cause)>;
        if constexpr (std::is_same_v<Cause, servo_bus::CommunicationErrorKind>) {
          return cause == servo_bus::CommunicationErrorKind::TimeoutError ? ErrorKind::TimedOut
                                                                          : ErrorKind::Protocol;
        } else if constexpr (std::is_same_v<Cause, servo_bus::IoError>) {
          // Unsupported: the raw packet of a neck-only controller, which has no line to write.
          if (cause.kind == servo_bus::IoErrorKind::TimedOut) return ErrorKind::TimedOut;
          if (cause.kind == servo_bus::IoErrorKind::Unsupported) return ErrorKind::NoServoLine;
          return ErrorKind::BusIo;
        } else if constexpr (std::is_same_v<Cause, servo_bus::InvalidRequest>) {
          return ErrorKind::Refused;
        } else {
          return ErrorKind::BusIo;
        }
      },
      error.cause());
}

}  // namespace

ErrorKind ControllerError::kind() const {
  return std::visit(
      [](const auto& cause) {
        using Held = std::decay_t<decltype(cause)>;
        if constexpr (std::is_same_v<Held, ControllerMessage>) {
          return cause.kind;
        } else if constexpr (std::is_same_v<Held, NeckFailure>) {
          return std::visit([](const auto& error) { return kind_of(error); }, cause.cause);
        } else {
          return kind_of(cause);
        }
      },
      cause_);
}

std::optional<servo_bus::IoErrorKind> ControllerError::io_kind() const {
  if (const auto* bus_error = std::get_if<servo_bus::ServoBusError>(&cause_)) {
    return bus_error->io_kind();
  }
  return std::nullopt;
}

ControllerError ControllerError::interrupted(std::string_view operation) {
  return ControllerError(ErrorKind::Interrupted, fmt::format("{}: interrupted", operation));
}

ControllerResult<void> require_finite(std::string_view what, double value) {
  if (std::isfinite(value)) return {};
  return std::unexpected(
      ControllerError(ErrorKind::Refused, fmt::format("{} must be finite, got {}", what, value)));
}

ControllerResult<void> require_finite(std::string_view what, std::optional<float> value) {
  if (!value) return {};
  return require_finite(what, *value);
}

ControllerResult<void> require_positive(std::string_view what, double value) {
  if (!(value > 0.0)) {
    return std::unexpected(ControllerError(
        ErrorKind::Refused, fmt::format("{} must be positive, got {}", what, value)));
  }
  return require_finite(what, value);
}

ControllerResult<void> first_failure(std::initializer_list<ControllerResult<void>> checks) {
  for (const auto& check : checks) {
    if (!check) return check;
  }
  return {};
}

}  // namespace vorlix::controller
