#include "vorlix/motor_error.hpp"

#include "common/format.hpp"

namespace vorlix::control_loop {

std::string MotorError::text() const {
  struct Display {
    std::string operator()(const MissingMotors& error) const {
      return fmt::format("Missing motors: {:?}!", error.names);
    }
    std::string operator()(const Communication&) const {
      return "Motor communication error! Check connections and power supply.";
    }
    std::string operator()(const NoMotorsDetected&) const {
      return "No motors detected. Check if the power supply is connected and turned on!";
    }
    std::string operator()(const VoltageRampUp& error) const {
      return fmt::format("Voltage did not ramp up to 12V (got {:.1}V) within {:?}!",
                         static_cast<double>(error.lowest_voltage) / 10.0, error.timeout);
    }
    std::string operator()(const PortNotFound& error) const {
      return fmt::format("Check if your USB cable is connected. Could not find port: {}!",
                         error.path);
    }
    std::string operator()(const PortOpen& error) const {
      return fmt::format(
          "Could not open serial port: {}! Check permissions and if the port is already in use.",
          error.path);
    }
    std::string operator()(const CanOpen& error) const { return error.cause.text(); }
    std::string operator()(const InvalidSettings& error) const { return error.text; }
  };
  return std::visit(Display{}, variant_);
}

controller::ErrorKind MotorError::kind() const {
  using controller::ErrorKind;
  struct Kind {
    static ErrorKind of(const std::optional<controller::ControllerError>& cause) {
      return cause ? cause->kind() : ErrorKind::BusIo;
    }
    ErrorKind operator()(const MissingMotors&) const { return ErrorKind::TimedOut; }
    ErrorKind operator()(const Communication& error) const { return of(error.cause); }
    ErrorKind operator()(const NoMotorsDetected&) const { return ErrorKind::TimedOut; }
    ErrorKind operator()(const VoltageRampUp&) const { return ErrorKind::TimedOut; }
    ErrorKind operator()(const PortNotFound&) const { return ErrorKind::BusIo; }
    ErrorKind operator()(const PortOpen& error) const { return of(error.cause); }
    ErrorKind operator()(const CanOpen& error) const { return error.cause.kind(); }
    ErrorKind operator()(const InvalidSettings&) const { return ErrorKind::Refused; }
  };
  return std::visit(Kind{}, variant_);
}

}  // namespace vorlix::control_loop
