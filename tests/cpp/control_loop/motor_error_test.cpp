#include "vorlix/motor_error.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace vorlix::control_loop {
namespace {

using namespace std::chrono_literals;

TEST(MotorError, DisplayTextsAndKinds) {
  using controller::ControllerError;
  using controller::ErrorKind;
  const std::tuple<MotorError, const char*, ErrorKind> cases[] = {
      {MotorError::MissingMotors{{"nose_top", "nose_left"}},
       "Missing motors: [\"nose_top\", \"nose_left\"]!", ErrorKind::TimedOut},
      {MotorError::Communication{},
       "Motor communication error! Check connections and power supply.", ErrorKind::BusIo},
      // The cause's kind; the text stays the loop's.
      {MotorError::Communication{ControllerError::interrupted("voltage wait")},
       "Motor communication error! Check connections and power supply.", ErrorKind::Interrupted},
      {MotorError::NoMotorsDetected{},
       "No motors detected. Check if the power supply is connected and turned on!",
       ErrorKind::TimedOut},
      {MotorError::VoltageRampUp{30s, 109}, "Voltage did not ramp up to 12V (got 10.9V) within 30s!",
       ErrorKind::TimedOut},
      {MotorError::VoltageRampUp{850ms, 105},
       "Voltage did not ramp up to 12V (got 10.5V) within 850ms!", ErrorKind::TimedOut},
      {MotorError::PortNotFound{"/dev/ttyUSB0"},
       "Check if your USB cable is connected. Could not find port: /dev/ttyUSB0!",
       ErrorKind::BusIo},
      {MotorError::PortOpen{""},
       "Could not open serial port: ! Check permissions and if the port is already in use.",
       ErrorKind::BusIo},
  };
  for (const auto& [error, text, kind] : cases) {
    EXPECT_EQ(error.text(), text);
    EXPECT_EQ(error.kind(), kind) << text;
  }
}

}  // namespace
}  // namespace vorlix::control_loop
