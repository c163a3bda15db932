#include "vorlix/servo_bus_error.hpp"

#include <type_traits>

namespace vorlix::servo_bus {

std::string_view text_of(CommunicationErrorKind kind) {
  switch (kind) {
    case CommunicationErrorKind::ChecksumError:
      return "Checksum error";
    case CommunicationErrorKind::ParsingError:
      return "Parsing error";
    case CommunicationErrorKind::TimeoutError:
      return "Timeout error";
  }
  return "Unknown communication error";
}

std::string ServoBusError::text() const {
  return std::visit(
      [](const auto& cause) -> std::string {
        if constexpr (std::is_same_v<std::decay_t<decltype(cause)>, CommunicationErrorKind>) {
          return std::string(text_of(cause));
        } else {
          return cause.text;
        }
      },
      cause_);
}

std::optional<IoErrorKind> ServoBusError::io_kind() const {
  if (const auto* io = std::get_if<IoError>(&cause_)) return io->kind;
  return std::nullopt;
}

}  // namespace vorlix::servo_bus
