#include "vorlix/controller_error.hpp"

#include <cmath>

#include "common/format.hpp"

namespace vorlix::controller {

std::string NeckFailure::text() const {
  const std::string cause_text = std::visit([](const auto& error) { return error.text(); }, cause);
  return fmt::format("{}: {}", context, cause_text);
}

std::string ControllerError::text() const {
  if (const auto* bus_error = std::get_if<servo_bus::ServoBusError>(&cause_)) {
    return bus_error->text();
  }
  if (const auto* neck_failure = std::get_if<NeckFailure>(&cause_)) return neck_failure->text();
  return std::get<std::string>(cause_);
}

std::optional<servo_bus::IoErrorKind> ControllerError::io_kind() const {
  if (const auto* bus_error = std::get_if<servo_bus::ServoBusError>(&cause_)) {
    return bus_error->io_kind();
  }
  return std::nullopt;
}

ControllerError ControllerError::interrupted(std::string_view operation) {
  return ControllerError(fmt::format("{}: interrupted", operation));
}

ControllerResult<void> require_finite(std::string_view what, double value) {
  if (std::isfinite(value)) return {};
  return std::unexpected(
      ControllerError::message(fmt::format("{} must be finite, got {}", what, value)));
}

ControllerResult<void> require_finite(std::string_view what, std::optional<float> value) {
  if (!value) return {};
  return require_finite(what, *value);
}

ControllerResult<void> require_positive(std::string_view what, double value) {
  if (!(value > 0.0)) {
    return std::unexpected(
        ControllerError::message(fmt::format("{} must be positive, got {}", what, value)));
  }
  return require_finite(what, value);
}

ControllerResult<void> first_failure(std::initializer_list<ControllerResult<void>> checks) {
  for (const auto& check : checks) {
    if (!check) return check;
  }
  return {};
}

}  // namespace vorlix::controller
