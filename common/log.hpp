// The one logging interface of the core. The controller and the control loop log; the bus
// layers below them never do. A sink (the Python bridge) is installed once per process.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

namespace vorlix::log {

enum class Level { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

struct Record {
  Level level;
  std::string_view target;
  std::string_view message;
  std::string_view file;
  unsigned line;
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const Record& record) = 0;
};

// Records above `max_level` are dropped before they reach the sink.
void install(Sink& sink, Level max_level);

void emit(Level level, std::string_view target, std::string_view message,
          std::source_location where = std::source_location::current());

inline void warn(std::string_view target, std::string_view message,
                 std::source_location where = std::source_location::current()) {
  emit(Level::Warn, target, message, where);
}

inline void info(std::string_view target, std::string_view message,
                 std::source_location where = std::source_location::current()) {
  emit(Level::Info, target, message, where);
}

inline void error(std::string_view target, std::string_view message,
                  std::source_location where = std::source_location::current()) {
  emit(Level::Error, target, message, where);
}

inline constexpr std::string_view kControllerTarget = "vorlix_motor_controller::controller";
inline constexpr std::string_view kControlLoopTarget = "vorlix_motor_controller::control_loop";

}  // namespace vorlix::log
