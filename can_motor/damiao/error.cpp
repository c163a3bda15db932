#include "vorlix/damiao_error.hpp"

#include "common/format.hpp"

namespace vorlix::can_motor::damiao {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace

std::string DamiaoError::text() const {
  return std::visit(
      Overloaded{
          [](const CanError& e) { return fmt::format("transport error: {}", e.text()); },
          [](const UnknownRegister& e) {
            return fmt::format("register {} is not in the Damiao register table", e.id);
          },
          [](const ReadOnly& e) { return fmt::format("register {} is read-only", e.id); },
          [](const TypeMismatch& e) {
            return fmt::format("register {}: expected {}, got {}", e.id, name_of(e.expected),
                               name_of(e.got));
          },
          [](const ModeVerifyFailed& e) {
            return fmt::format("control mode verification failed: wrote {}, motor reports {}",
                               e.wrote, e.reports);
          },
          [](const UnexpectedReply& e) {
            return fmt::format("unexpected reply (data did not match register-reply pattern): {}",
                               e.data);
          },
      },
      cause_);
}

}  // namespace vorlix::can_motor::damiao
