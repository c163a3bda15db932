#include "vorlix/motor_error.hpp"

#include <gtest/gtest.h>

namespace vorlix::control_loop {
namespace {

using namespace std::chrono_literals;

TEST(MotorError, DisplayTexts) {
  const std::pair<MotorError, const char*> cases[] = {
      {MotorError::MissingMotors{{"nose_top", "nose_left"}},
       "Missing motors: [\"nose_top\", \"nose_left\"]!"},
      {MotorError::Communication{},
       "Motor communication error! Check connections and power supply."},
      {MotorError::NoMotorsDetected{},
       "No motors detected. Check if the power supply is connected and turned on!"},
      {MotorError::VoltageRampUp{30s, 109}, "Voltage did not ramp up to 12V (got 10.9V) within 30s!"},
      {MotorError::VoltageRampUp{850ms, 105}, "Voltage did not ramp up to 12V (got 10.5V) within 850ms!"},
      {MotorError::PortNotFound{"/dev/ttyUSB0"},
       "Check if your USB cable is connected. Could not find port: /dev/ttyUSB0!"},
      {MotorError::PortOpen{""},
       "Could not open serial port: ! Check permissions and if the port is already in use."},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.text(), text);
}

}  // namespace
}  // namespace vorlix::control_loop
