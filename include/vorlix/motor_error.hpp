// The control loop's error: what construction and the requests that wait for an answer
// report to the caller. Where the controller failed underneath, its error is kept as the
// cause; the text shows only the loop's words.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <vorlix/controller_error.hpp>

namespace vorlix::control_loop {

class MotorError {
 public:
  struct MissingMotors {
    std::vector<std::string> names;
  };
  struct Communication {
    std::optional<controller::ControllerError> cause = std::nullopt;
  };
  struct NoMotorsDetected {};
  struct VoltageRampUp {
    std::chrono::nanoseconds timeout;
    std::uint8_t lowest_voltage;  // tenths of a volt
  };
  struct PortNotFound {
    std::string path;
  };
  struct PortOpen {
    std::string path;
    std::optional<controller::ControllerError> cause = std::nullopt;
  };
  // The serial port opened but the CAN bus did not: the controller's own text, which names
  // the interface.
  struct CanOpen {
    controller::ControllerError cause;
  };
  // Settings refused before anything was opened or sent; `text` says which.
  struct InvalidSettings {
    std::string text;
  };
  using Variant = std::variant<MissingMotors, Communication, NoMotorsDetected, VoltageRampUp,
                               PortNotFound, PortOpen, CanOpen, InvalidSettings>;

  // From any variant's payload: return std::unexpected(MotorError::Communication{}).
  template <class Payload>
    requires std::constructible_from<Variant, Payload&&>
  MotorError(Payload&& payload)  // NOLINT: implicit by design
      : variant_(std::forward<Payload>(payload)) {}

  const Variant& variant() const { return variant_; }
  std::string text() const;
  // A cause's kind where there is one. Otherwise: motors that did not answer or a supply
  // that did not rise are TimedOut, a port that is not there or does not open BusIo, a
  // communication failure without a cause BusIo, refused settings Refused.
  controller::ErrorKind kind() const;

 private:
  Variant variant_;
};

template <class T>
using MotorResult = std::expected<T, MotorError>;

}  // namespace vorlix::control_loop
