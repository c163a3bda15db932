// How the core logs: the controller and the control loop do; the bus layers below them never
// do. Records go to the sink a program installs through <vorlix/log.hpp>.
#pragma once

#include <source_location>
#include <string_view>

#include "vorlix/log.hpp"

namespace vorlix::log {

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

}  // namespace vorlix::log
