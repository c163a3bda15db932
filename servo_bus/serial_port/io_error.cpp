#include "vorlix/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace vorlix::servo_bus {

IoError IoError::timed_out() { return IoError{IoErrorKind::TimedOut, "Operation timed out"}; }

IoError IoError::from_errno(int error) {
  IoErrorKind kind = IoErrorKind::Other;
  switch (error) {
    case EINTR:
      kind = IoErrorKind::Interrupted;
      break;
    case ETIMEDOUT:
      kind = IoErrorKind::TimedOut;
      break;
    case ENOSYS:
    case EOPNOTSUPP:
      kind = IoErrorKind::Unsupported;
      break;
    default:
      break;
  }
  // The GNU strerror_r is thread-safe and may return a static string instead of `buffer`.
  char buffer[128];
  return IoError{kind, ::strerror_r(error, buffer, sizeof buffer)};
}

}  // namespace vorlix::servo_bus
