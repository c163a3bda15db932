// The doctor's two examinations. Each sends only pings, register reads and feedback
// requests: nothing that changes a motor.
#pragma once

#include <string>

#include "tools/doctor/report.hpp"

namespace vorlix::doctor {

// The servo line at `path`: the device, its adapter, then each of the seven servos; with
// `scan`, also which other ids answer.
void check_serial(Report& report, const std::string& path, bool scan);

// The CAN interface, then each neck motor.
void check_can(Report& report, const std::string& interface_name);

}  // namespace vorlix::doctor
