// The controller error must show the failure's own text and keep an I/O error's kind, which
// the control loop's retry rule asks for.
#include "vorlix/controller_error.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

namespace vorlix::controller {
namespace {

using servo_bus::CommunicationErrorKind;
using servo_bus::IoError;
using servo_bus::IoErrorKind;
using servo_bus::ServoBusError;

TEST(ControllerError, KeepsTheTextAndTheKindOfItsCause) {
  const ControllerError timed_out(IoError::timed_out());
  EXPECT_EQ(timed_out.text(), "Operation timed out");
  EXPECT_EQ(timed_out.io_kind(), IoErrorKind::TimedOut);

  const ControllerError interrupted(ServoBusError(IoError{IoErrorKind::Interrupted, "x"}));
  EXPECT_EQ(interrupted.io_kind(), IoErrorKind::Interrupted);

  const ControllerError checksum(ServoBusError(CommunicationErrorKind::ChecksumError));
  EXPECT_EQ(checksum.text(), "Checksum error");
  EXPECT_EQ(checksum.io_kind(), std::nullopt);

  const ControllerError message = ControllerError::message("neck index out of range: 3");
  EXPECT_EQ(message.text(), "neck index out of range: 3");
  EXPECT_EQ(message.io_kind(), std::nullopt);
}

TEST(ControllerError, RefusalsNameTheValueAndTheFirstFailureWins) {
  EXPECT_TRUE(require_positive("speed", 0.4));
  EXPECT_EQ(require_positive("speed", 0.0).error().text(), "speed must be positive, got 0");
  EXPECT_EQ(require_positive("speed", NAN).error().text(), "speed must be positive, got NaN");
  EXPECT_EQ(require_positive("speed", INFINITY).error().text(), "speed must be finite, got inf");
  EXPECT_TRUE(require_finite("kp", std::optional<float>()));
  EXPECT_EQ(first_failure({require_finite("a", 1.0), require_finite("b", -INFINITY),
                           require_finite("c", NAN)})
                .error()
                .text(),
            "b must be finite, got -inf");
}

}  // namespace
}  // namespace vorlix::controller
