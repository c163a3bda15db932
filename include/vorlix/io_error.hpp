// An I/O failure of the serial line, keeping the platform's kind so that the control loop's
// retry rule can tell a silent servo (timed out) from an unplugged adapter.
#pragma once

#include <string>

namespace vorlix::servo_bus {

enum class IoErrorKind { TimedOut, Interrupted, Unsupported, Other };

struct IoError {
  IoErrorKind kind;
  std::string text;

  static IoError timed_out();           // "Operation timed out"
  static IoError from_errno(int error);  // EINTR is Interrupted, ETIMEDOUT TimedOut

  bool operator==(const IoError&) const = default;
};

// Opening the port or querying its input queue failed.
struct SerialError {
  std::string text;

  bool operator==(const SerialError&) const = default;
};

}  // namespace vorlix::servo_bus
