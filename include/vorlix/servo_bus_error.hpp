// The error of every servo-bus operation and its causes.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <vorlix/io_error.hpp>

namespace vorlix::servo_bus {

enum class CommunicationErrorKind { ChecksumError, ParsingError, TimeoutError };

std::string_view text_of(CommunicationErrorKind kind);  // "Checksum error", ...

// A request the bus layer refuses before sending anything: a packet that cannot be framed,
// mismatched id and value lists, a non-finite position.
struct InvalidRequest {
  std::string text;

  bool operator==(const InvalidRequest&) const = default;
};

// The error of every servo-bus operation; displays the underlying failure's text unchanged.
class ServoBusError {
 public:
  using Cause = std::variant<CommunicationErrorKind, IoError, SerialError, InvalidRequest>;

  ServoBusError(Cause cause) : cause_(std::move(cause)) {}  // NOLINT: implicit by design

  const Cause& cause() const { return cause_; }
  std::string text() const;
  // The kind of an I/O error; empty for every other cause.
  std::optional<IoErrorKind> io_kind() const;

  bool operator==(const ServoBusError&) const = default;

 private:
  Cause cause_;
};

template <class T>
using ServoResult = std::expected<T, ServoBusError>;

}  // namespace vorlix::servo_bus
