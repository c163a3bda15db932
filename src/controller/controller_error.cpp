#include "src/controller/controller_error.hpp"

#include <cmath>

#include "common/format.hpp"

namespace vorlix::controller {

std::string ControllerError::text() const {
  if (const auto* bus_error = std::get_if<servo_bus::ServoBusError>(&cause_)) {
    return bus_error->text();
  }
  return std::get<std::string>(cause_);
}

std::optional<servo_bus::IoErrorKind> ControllerError::io_kind() const {
  if (const auto* bus_error = std::get_if<servo_bus::ServoBusError>(&cause_)) {
    return bus_error->io_kind();
  }
  return std::nullopt;
}

ControllerResult<void> require_finite(std::string_view what, double value) {
  if (std::isfinite(value)) return {};
  return std::unexpected(
      ControllerError::message(fmt::format("{} must be finite, got {}", what, value)));
}

}  // namespace vorlix::controller
