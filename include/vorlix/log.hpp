// The library's log records and the one sink per process they go to. Without a sink every
// record is dropped. The Python module installs its bridge to `logging` as such a sink; a C++
// program installs its own (a ROS 2 node's logger, say).
#pragma once

#include <string_view>

namespace vorlix::log {

enum class Level { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Every view points into the caller's storage and is valid only during Sink::write: a sink
// that keeps a record copies it.
struct Record {
  Level level;
  std::string_view target;   // which part logs: one of the k...Target names below
  std::string_view message;  // one line, without a trailing newline
  std::string_view file;     // the library's source file and line that logged
  unsigned line;
};

// Contract of Sink::write:
// - Threads: called on the thread that logs, which is the thread calling the controller or
//   the control loop (create, close, the long operations) or a control loop's worker thread
//   (a failed reading, a command's error). Several threads may call it at once: a sink
//   serialises its own state.
// - Blocking: while it runs, the worker neither reads nor writes the torso; a sink that may
//   take longer than a small part of the loop's period hands the record to a thread of its
//   own instead.
// - It must not throw, must not install or uninstall a sink, and must not call a ControlLoop
//   when called on that loop's worker: the worker would wait for itself (post and
//   write_raw_packet refuse with OnWorkerThread there, close only asks for the stop).
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const Record& record) = 0;
};

// Makes `sink` the process's sink in place of any other; records above `max_level` are
// dropped before they reach it. The sink must stay alive until uninstall returns or the
// program's last controller and loop are gone. Any thread; never blocks.
void install(Sink& sink, Level max_level);

// Drops every record from now on and returns once every delivery in flight has ended, so that
// the sink may then be destroyed. Blocks for as long as the slowest write in flight; never
// call it from a sink.
void uninstall();

inline constexpr std::string_view kControllerTarget = "vorlix_motor_controller::controller";
inline constexpr std::string_view kControlLoopTarget = "vorlix_motor_controller::control_loop";

}  // namespace vorlix::log
