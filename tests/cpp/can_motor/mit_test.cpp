#include "can_motor/damiao/mit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/test_support.hpp"
#include "table_rows.hpp"

namespace vorlix::can_motor::damiao {
namespace {

using test::NamedRow;
using test_support::ByName;
using test_support::hex;

// The neck's yaw motor.
constexpr MitLimits kYaw{.p_max = 12.5f, .v_max = 30.0f, .kp_max = 500.0f, .kd_max = 5.0f,
                         .t_max = 10.0f};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Payload state_with(std::uint8_t byte0, std::uint16_t p_u, std::uint16_t v_u, std::uint16_t t_u) {
  return {byte0,
          static_cast<std::uint8_t>(p_u >> 8),
          static_cast<std::uint8_t>(p_u),
          static_cast<std::uint8_t>(v_u >> 4),
          static_cast<std::uint8_t>((v_u & 0xF) << 4 | t_u >> 8),
          static_cast<std::uint8_t>(t_u),
          0x1E,
          0x28};
}

struct EncodeCase : NamedRow {
  MitLimits limits;
  MitCommand command;
  const char* wire;
};

class Encode : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Encode, PacksTheWireBytes) {
  EXPECT_EQ(hex(encode(GetParam().limits, GetParam().command)), GetParam().wire);
}

// Field by field: p_u 16 bits, then v_u, kp_u, kd_u, t_u 12 bits each.
INSTANTIATE_TEST_SUITE_P(
    Mit, Encode,
    ::testing::Values(
        // p 32767, v 2047, kp 245 (245.7 truncated), kd 819, t 2047
        EncodeCase{"Centre", kYaw, {0.0f, 0.0f, 30.0f, 1.0f, 0.0f}, "7F FF 7F F0 F5 33 37 FF"},
        EncodeCase{"AtUpperBounds", kYaw, {12.5f, 30.0f, 500.0f, 5.0f, 10.0f},
                   "FF FF FF FF FF FF FF FF"},
        EncodeCase{"AboveClampsToTop", kYaw, {100.0f, 1e9f, 501.0f, 6.0f, INFINITY},
                   "FF FF FF FF FF FF FF FF"},
        EncodeCase{"AtLowerBounds", kYaw, {-12.5f, -30.0f, 0.0f, 0.0f, -10.0f},
                   "00 00 00 00 00 00 00 00"},
        EncodeCase{"BelowAndNegativeGainsClampToZero", kYaw,
                   {-100.0f, -31.0f, -1.0f, -0.5f, -INFINITY}, "00 00 00 00 00 00 00 00"},
        EncodeCase{"NaNIsTheBottomOfEachRange", kYaw, {kNaN, kNaN, kNaN, kNaN, kNaN},
                   "00 00 00 00 00 00 00 00"},
        // kp 0xabc and kd 0x123 pass through unscaled; shows every nibble's place.
        EncodeCase{"NibblePlacement", {1.0f, 1.0f, 4095.0f, 4095.0f, 1.0f},
                   {-1.0f, 1.0f, 2748.0f, 291.0f, -1.0f}, "00 00 FF FA BC 12 30 00"}),
    ByName());

TEST(DecodeState, ReadsEveryField) {
  const MotorState state = decode_state(kYaw, state_with(0x12, 65535, 2047, 0));
  EXPECT_EQ(state.motor_id, 2);
  EXPECT_EQ(state.status, 1);
  EXPECT_EQ(state.position, 12.5f);
  // 2047 is just below the centre of 0..4095: a little below zero, not zero (single
  // precision leaves the last digits of -30/4095 to rounding).
  EXPECT_LT(state.velocity, 0.0f);
  EXPECT_NEAR(state.velocity, -30.0 / 4095.0, 2e-7);
  EXPECT_EQ(state.torque, -10.0f);
  EXPECT_EQ(state.driver_temperature, 0x1E);
  EXPECT_EQ(state.rotor_temperature, 0x28);
  EXPECT_EQ(decode_state(kYaw, state_with(0, 0, 4095, 4095)).position, -12.5f);
  EXPECT_EQ(decode_state(kYaw, state_with(0, 0, 4095, 4095)).velocity, 30.0f);
}

// Decoding then encoding loses at most the truncation of a value that single precision
// leaves a hair below the integer: one ulp up always gives the position back.
TEST(MitRoundTrip, EveryPositionComesBackOrTruncatesByOne) {
  int short_by_one = 0;
  for (std::uint32_t p_u = 0; p_u <= 0xFFFF; ++p_u) {
    const float position =
        decode_state(kYaw, state_with(0, static_cast<std::uint16_t>(p_u), 0, 0)).position;
    const auto encoded = [&](float p) {
      const Payload payload = encode(kYaw, {p, 0.0f, 0.0f, 0.0f, 0.0f});
      return std::uint32_t{payload[0]} << 8 | payload[1];
    };
    const std::uint32_t back = encoded(position);
    if (back == p_u) continue;
    ++short_by_one;
    ASSERT_EQ(back + 1, p_u) << "position " << position;
    ASSERT_EQ(encoded(std::nextafter(position, INFINITY)), p_u) << "position " << position;
  }
  EXPECT_GT(short_by_one, 0);  // truncation, not rounding, is what is being checked
}

}  // namespace
}  // namespace vorlix::can_motor::damiao
