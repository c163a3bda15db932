// The error of every Damiao motor operation: a CAN failure or a reply the motor should not give.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <vorlix/can_transport.hpp>

namespace vorlix::can_motor::damiao {

enum class RegisterType { Float, Uint32 };

std::string_view name_of(RegisterType type);  // "Float" or "Uint32"

struct UnknownRegister {
  std::uint8_t id;
  bool operator==(const UnknownRegister&) const = default;
};
struct ReadOnly {
  std::uint8_t id;
  bool operator==(const ReadOnly&) const = default;
};
struct TypeMismatch {
  std::uint8_t id;
  RegisterType expected;
  RegisterType got;
  bool operator==(const TypeMismatch&) const = default;
};
struct ModeVerifyFailed {
  std::uint8_t wrote;
  std::uint8_t reports;
  bool operator==(const ModeVerifyFailed&) const = default;
};
// A reply that cannot be what was asked for (a state reply shorter than 8 bytes).
struct UnexpectedReply {
  std::vector<std::uint8_t> data;
  bool operator==(const UnexpectedReply&) const = default;
};

class DamiaoError {
 public:
  using Cause =
      std::variant<CanError, UnknownRegister, ReadOnly, TypeMismatch, ModeVerifyFailed,
                   UnexpectedReply>;

  DamiaoError(Cause cause) : cause_(std::move(cause)) {}  // NOLINT: implicit by design

  const Cause& cause() const { return cause_; }
  std::string text() const;

  bool operator==(const DamiaoError&) const = default;

 private:
  Cause cause_;
};

template <class T>
using DamiaoResult = std::expected<T, DamiaoError>;

}  // namespace vorlix::can_motor::damiao
