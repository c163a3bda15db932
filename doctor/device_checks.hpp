// The doctor's two examinations of the real buses: the device or interface as the operating
// system shows it, then the motors on it (servo_checks.hpp, neck_checks.hpp). Each sends only
// pings, register reads and feedback requests: nothing that changes a motor.
#pragma once

#include <chrono>
#include <string>

#include "doctor/report.hpp"

namespace vorlix::doctor {

// The servo line at `path`: the device, its adapter, then each of the seven servos; with
// `scan`, also which other ids answer. Each reply is waited for `reply_wait`.
void check_serial(Report& report, const std::string& path, bool scan,
                  std::chrono::milliseconds reply_wait);

// The CAN interface, then each neck motor.
void check_can(Report& report, const std::string& interface_name);

}  // namespace vorlix::doctor
