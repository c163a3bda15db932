// The error of every controller operation: the underlying failure, kept unchanged so that
// its text displays as is, an I/O error's kind survives for the retry rule and a C++ caller
// can tell a CAN failure from a motor's.
#pragma once

#include <expected>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <vorlix/can_transport.hpp>
#include <vorlix/damiao_error.hpp>
#include <vorlix/servo_bus_error.hpp>

namespace vorlix::controller {

// A failure on the neck's side, after the words that say where: which motor, which operation.
struct NeckFailure {
  std::string context;
  std::variant<can_motor::damiao::DamiaoError, can_motor::CanError> cause;

  std::string text() const;  // "{context}: {cause}"
};

// What went wrong, for a caller to switch on; the cause keeps the details.
enum class ErrorKind {
  Refused,      // an argument refused before anything was sent or changed
  TimedOut,     // a wait ran out: a reply, a homing that did not settle, a reboot
  Interrupted,  // the caller's stop (a std::stop_token) or Ctrl-C
  NoServoLine,  // a servo call on a neck-only controller
  BusIo,        // the serial line or the CAN bus failed (io_kind(): the serial failure's)
  Protocol,     // an answer that is not what was asked: checksum, framing, a register's type
  Closed,       // the other end is gone: a loop's worker, a waiting requester
};

// The controller's own words, with their kind.
struct ControllerMessage {
  ErrorKind kind;
  std::string text;
};

class ControllerError {
 public:
  using Cause = std::variant<servo_bus::ServoBusError, NeckFailure, ControllerMessage>;

  ControllerError(servo_bus::ServoBusError error) : cause_(std::move(error)) {}  // NOLINT
  ControllerError(NeckFailure failure) : cause_(std::move(failure)) {}           // NOLINT
  ControllerError(servo_bus::IoError error)                                      // NOLINT
      : cause_(servo_bus::ServoBusError(std::move(error))) {}
  ControllerError(servo_bus::SerialError error)  // NOLINT
      : cause_(servo_bus::ServoBusError(std::move(error))) {}
  ControllerError(ErrorKind kind, std::string text)
      : cause_(ControllerMessage{kind, std::move(text)}) {}
  // A long operation stopped between cycles because its caller asked: "{operation}:
  // interrupted".
  static ControllerError interrupted(std::string_view operation);

  const Cause& cause() const { return cause_; }
  std::string text() const;
  ErrorKind kind() const;
  std::optional<servo_bus::IoErrorKind> io_kind() const;

 private:
  Cause cause_;
};

template <class T>
using ControllerResult = std::expected<T, ControllerError>;

// Refusals of values that must not reach a motor, checked before anything is sent or changed.
// NaN passes every comparison of a range check and the raw conversions would turn it into an
// extreme position.
// "{what} must be finite, got {value}"; an absent optional value passes.
ControllerResult<void> require_finite(std::string_view what, double value);
ControllerResult<void> require_finite(std::string_view what, std::optional<float> value);
// "{what} must be positive, got {value}" (NaN included), then the finite check.
ControllerResult<void> require_positive(std::string_view what, double value);
// The first failure among checks made in order, or success.
ControllerResult<void> first_failure(std::initializer_list<ControllerResult<void>> checks);

}  // namespace vorlix::controller
