// Runs the control loop from C++ the way a ROS 2 hardware interface does: every 10 ms a read
// (the loop's latest reading) and a write (goal positions posted to the loop), until Ctrl-C.
//   vorlix_follow_torso SERIAL_PATH CAN_IFACE
// Holds the arms where they start and sways the nose, with torque on while it runs; prints a
// reading ten times a second:
// seconds since the start, then the ten joints in radians (servos, then the neck).
#include <chrono>
#include <cmath>
#include <numbers>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include <vorlix/control_loop.hpp>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

}  // namespace

int main(int argc, char** argv) {
  namespace loop_api = vorlix::control_loop;
  if (argc != 3) {
    std::fprintf(stderr, "usage: vorlix_follow_torso SERIAL_PATH CAN_IFACE\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  loop_api::ControlLoopSettings settings;
  settings.period = std::chrono::milliseconds(10);
  auto loop = loop_api::ControlLoop::create(std::string(argv[1]), argv[2], settings);
  if (!loop) {
    std::fprintf(stderr, "start: %s\n", loop.error().text().c_str());
    return 1;
  }
  // The loop took a first reading before it started.
  const auto start = loop->get_last_position();
  if (!start) {
    std::fprintf(stderr, "first reading: %s\n", start.error().text().c_str());
    return 1;
  }
  const auto post = [&](loop_api::MotorCommand command) {
    auto posted = loop->post(std::move(command));
    if (!posted) std::fprintf(stderr, "%s\n", posted.error().text.c_str());
    return posted.has_value();
  };
  if (!post(loop_api::EnableTorque{})) return 1;

  constexpr std::chrono::milliseconds kCycle{10};
  const auto began = std::chrono::steady_clock::now();
  auto next = began;
  for (long cycle = 0; stop_requested == 0; ++cycle) {
    // read: the loop's latest reading of every joint. A failed tick is reported and the
    // cycle goes on: the next tick may read again.
    const auto reading = loop->get_last_position();
    const double seconds = std::chrono::duration<double>(next - began).count();
    if (!reading) {
      std::fprintf(stderr, "reading: %s\n", reading.error().text().c_str());
    } else if (cycle % 10 == 0) {
      std::printf("%.2f %.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f\n", seconds,
                  reading->left_arm[0], reading->left_arm[1], reading->right_arm[0],
                  reading->right_arm[1], reading->nose[0], reading->nose[1], reading->nose[2],
                  reading->neck[0], reading->neck[1], reading->neck[2]);
      std::fflush(stdout);
    }
    // write: the arms hold their starting pose, the nose sways by 0.1 rad at 0.5 Hz.
    const double sway = 0.1 * std::sin(seconds * std::numbers::pi);
    if (!post(loop_api::SetAllGoalPositions{{start->left_arm[0], start->left_arm[1],
                                             start->right_arm[0], start->right_arm[1],
                                             start->nose[0] + sway, start->nose[1] + sway,
                                             start->nose[2] + sway}})) {
      return 1;
    }
    next += kCycle;
    std::this_thread::sleep_until(next);
  }
  // Torque off is carried out before the loop closes: close runs what is queued.
  post(loop_api::DisableTorque{});
  loop->close();
  std::printf("stopped\n");
  return 0;
}
