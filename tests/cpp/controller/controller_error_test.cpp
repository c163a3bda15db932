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

  const ControllerError message(ErrorKind::Refused, "neck index out of range: 3");
  EXPECT_EQ(message.text(), "neck index out of range: 3");
  EXPECT_EQ(message.io_kind(), std::nullopt);
}

struct KindRow {
  ControllerError error;
  ErrorKind kind;
};

// GoogleTest would print the row's bytes, padding and all.
void PrintTo(const KindRow& row, std::ostream* out) { *out << row.error.text(); }

using can_motor::CanError;
namespace damiao = can_motor::damiao;

class ControllerErrorKindTest : public ::testing::TestWithParam<KindRow> {};

TEST_P(ControllerErrorKindTest, EveryCauseHasTheKindACallerSwitchesOn) {
  EXPECT_EQ(GetParam().error.kind(), GetParam().kind) << GetParam().error.text();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ControllerErrorKindTest,
    ::testing::Values(
        KindRow{IoError::timed_out(), ErrorKind::TimedOut},
        KindRow{ServoBusError(CommunicationErrorKind::TimeoutError), ErrorKind::TimedOut},
        KindRow{ServoBusError(CommunicationErrorKind::ChecksumError), ErrorKind::Protocol},
        KindRow{IoError{IoErrorKind::Other, "x"}, ErrorKind::BusIo},
        KindRow{IoError{IoErrorKind::Unsupported, "x"}, ErrorKind::NoServoLine},
        KindRow{servo_bus::SerialError{"x"}, ErrorKind::BusIo},
        KindRow{ServoBusError(servo_bus::InvalidRequest{"x"}), ErrorKind::Refused},
        KindRow{NeckFailure{"n", CanError::timeout()}, ErrorKind::TimedOut},
        KindRow{NeckFailure{"n", CanError::backend(5)}, ErrorKind::BusIo},
        KindRow{NeckFailure{"n", damiao::DamiaoError(CanError::timeout())}, ErrorKind::TimedOut},
        KindRow{NeckFailure{"n", damiao::DamiaoError(damiao::ReadOnly{1})}, ErrorKind::Refused},
        KindRow{NeckFailure{"n", damiao::DamiaoError(damiao::UnexpectedReply{{1}})},
                ErrorKind::Protocol},
        KindRow{ControllerError::interrupted("neck_home"), ErrorKind::Interrupted}));

TEST(ControllerError, RefusalsNameTheValueAndTheFirstFailureWins) {
  EXPECT_TRUE(require_positive("speed", 0.4));
  EXPECT_EQ(require_positive("speed", 0.0).error().text(), "speed must be positive, got 0");
  EXPECT_EQ(require_positive("speed", 0.0).error().kind(), ErrorKind::Refused);
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
