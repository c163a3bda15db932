// One full reading of the torso, and the timing samples of the loop that takes them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

namespace vorlix::control_loop {

// Radians; `timestamp` in seconds since the Unix epoch when the reading completed.
struct VorlixTorsoPosition {
  std::array<double, 2> left_arm;   // pitch, yaw
  std::array<double, 2> right_arm;  // pitch, yaw
  std::array<double, 3> nose;       // top, left, right
  std::array<double, 3> neck;       // yaw, pitch, roll
  double timestamp;
  // From the same replies as `neck`, in its order: rad/s and N·m.
  std::array<double, 3> neck_velocity{};
  std::array<double, 3> neck_torque{};
  // When the reading completed on the steady clock, for differences and deadlines: unlike
  // `timestamp` it never steps. The epoch of a reading built from Python values.
  std::chrono::steady_clock::time_point completed{};
};

// Seconds. Grows for the life of the loop: one `period` sample per tick.
struct ControlLoopStats {
  std::vector<double> period;
  std::vector<double> read_dt;
  std::vector<double> write_dt;
};

// The wall clock in seconds since the Unix epoch; 0.0 if it reads earlier.
double wall_clock_seconds();

}  // namespace vorlix::control_loop
