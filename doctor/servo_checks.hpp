// The servo line's checks that need only the line: each of the torso's servos, and the scan
// for ids that are none of them. They send pings and register reads, never a write, so any
// byte stream will do: the serial port, or a servo line in memory.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include <vorlix/byte_stream.hpp>

#include "doctor/report.hpp"

namespace vorlix::doctor {

// The subject of the rows about the line as a whole.
inline constexpr std::string_view kServoLine = "serial";
// The highest id a servo may have; the scan asks every id from 0 to this one.
inline constexpr unsigned kLastServoId = 253;

// Each of the seven servos: does it answer, then its supply, temperature, fault bits,
// torque, EEPROM lock, offset and position, a row each.
void check_servos(Report& report, servo_bus::ByteStream& line,
                  std::chrono::nanoseconds reply_wait = servo_bus::kSerialWaitTimeout);

// One row: which ids besides the torso's answer a ping. `progress` hears each id before it
// is asked.
void scan_servo_ids(Report& report, servo_bus::ByteStream& line,
                    const std::function<void(unsigned id)>& progress,
                    std::chrono::nanoseconds reply_wait = servo_bus::kSerialWaitTimeout);

}  // namespace vorlix::doctor
