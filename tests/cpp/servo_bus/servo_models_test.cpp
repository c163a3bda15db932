#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "servo_bus/scripted_servo_peer.hpp"
#include "servo_bus/servo/feetech/registers.hpp"
#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "servo_bus/servo/feetech/sts3025bl.hpp"
#include "support/test_support.hpp"

namespace vorlix::servo_bus {
namespace {

using testing::Bytes;
using testing::bytes_of;
using test_support::hex;
using testing::ScriptedServoPeer;
using testing::status_reply;

constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Conversions, GoalPositionTruncatesAndSaturatesWithoutWrapping) {
  for (const auto& [rad, raw] : std::vector<std::pair<double, std::int16_t>>{
           {-kPi, 0}, {kPi, 4096}, {20.0, 15085}, {-20.0, -10989},
           {0.0, 2048}, {1.0, 2699}, {1e9, 32767}, {-1e9, -32768}}) {
    EXPECT_EQ(feetech::goal_position_to_raw(rad), raw) << rad;
  }
}

TEST(Conversions, PresentPositionIsSigned) {
  EXPECT_EQ(feetech::present_position_to_rad(3072), 1.5707963267948966);
  EXPECT_EQ(feetech::present_position_to_rad(2048), 0.0);
  EXPECT_EQ(feetech::present_position_to_rad(0), -kPi);
  EXPECT_EQ(feetech::present_position_to_rad(-1), -kPi - 2 * kPi / 4096);
}

TEST(Conversions, OffsetIsSignMagnitudeWithBitElevenAloneNegative) {
  const auto read = [](std::uint16_t raw) { return feetech::offset_to_rad(raw); };
  EXPECT_EQ(read(0x0800), 0.0);
  EXPECT_TRUE(std::signbit(read(0x0800)));
  EXPECT_EQ(read(0x07FF), kPi);
  EXPECT_EQ(read(0x1800), 0.0);
  EXPECT_FALSE(std::signbit(read(0x1800)));
  EXPECT_EQ(read(0x0A8B), -651 * kPi / 2047);

  EXPECT_EQ(feetech::offset_to_raw(-0.0), 0x0800);
  EXPECT_EQ(feetech::offset_to_raw(0.0), 0);
  EXPECT_EQ(feetech::offset_to_raw(-1.0), 0x0A8B);
  EXPECT_EQ(feetech::offset_to_raw(kPi), 0x07FF);
}

class ServoModelTest : public ::testing::Test {
 protected:
  ScriptedServoPeer peer;
  SerialPort port = peer.open_port();
  FeetechProtocolHandler handler;
};

// Answers one sync read from `ids` with one reply per entry of `data`, in turn.
void answer_sync_read(ScriptedServoPeer& peer, const Bytes& ids, const std::vector<Bytes>& data) {
  Bytes replies;
  for (std::size_t i = 0; i < data.size(); ++i) {
    replies = testing::joined({replies, status_reply(ids[i], data[i])});
  }
  peer.answer(8 + ids.size(), replies).start();
}

TEST_F(ServoModelTest, PresentPositionReadsSignedRadiansInIdOrder) {
  const Bytes ids{5, 6, 7};
  answer_sync_read(peer, ids, {{0x00, 0x0C}, {0xFF, 0xFF}, {0x00, 0x08}});
  const auto positions = sts3025bl::sync_read_present_position(handler, port, ids);
  EXPECT_EQ(hex(peer.finish().at(0)), "FF FF FE 07 82 38 02 05 06 07 2C");
  ASSERT_TRUE(positions) << positions.error().text();
  EXPECT_EQ(*positions, (std::vector<double>{kPi / 2, -kPi - 2 * kPi / 4096, 0.0}));
}

TEST_F(ServoModelTest, TorqueEnableReadsAnyNonzeroByteAsTrue) {
  const Bytes ids{1, 2, 3};
  answer_sync_read(peer, ids, {{0}, {1}, {7}});
  const auto torque = sm40bl::sync_read_torque_enable(handler, port, ids);
  peer.finish();
  ASSERT_TRUE(torque) << torque.error().text();
  EXPECT_EQ(*torque, (std::vector<bool>{false, true, true}));
}

TEST_F(ServoModelTest, ReplyOfAnotherWidthFailsTheWholeRead) {
  const Bytes ids{1, 2};
  answer_sync_read(peer, ids, {{0x00, 0x08}, {0x00}});
  const auto positions = sm40bl::sync_read_present_position(handler, port, ids);
  peer.finish();
  ASSERT_FALSE(positions);
  EXPECT_EQ(positions.error(), ServoBusError(CommunicationErrorKind::ParsingError));
}

TEST_F(ServoModelTest, WritesSendRegisterBytesLowByteFirst) {
  const Bytes ids{1, 2};
  ASSERT_TRUE(sm40bl::sync_write_goal_position(handler, port, ids, std::vector{0.0, 1.0}));
  ASSERT_TRUE(sm40bl::sync_write_offset(handler, port, ids, std::vector{-0.0, 0.0}));
  ASSERT_TRUE(sts3025bl::sync_write_torque_enable(handler, port, ids, {false, true}));
  ASSERT_TRUE(sm40bl::sync_write_lock(handler, port, ids, {true, false}));
  const Bytes expected = bytes_of(
      "FF FF FE 0A 83 2A 02 01 00 08 02 8B 0A A8 "
      "FF FF FE 0A 83 1F 02 01 00 08 02 00 00 48 "
      "FF FF FE 08 83 28 01 01 00 02 01 49 "
      "FF FF FE 08 83 37 01 01 01 02 00 3A");
  EXPECT_EQ(hex(peer.take_written(expected.size())), hex(expected));
}

struct RefusedWrite {
  std::string name;
  bool offset;  // else a goal position
  std::vector<double> values;
  std::string text;
};

class RefusedGroupWrite : public ServoModelTest,
                          public ::testing::WithParamInterface<RefusedWrite> {};

TEST_P(RefusedGroupWrite, SendsNothing) {
  const Bytes ids{1, 2, 3};
  const RefusedWrite& c = GetParam();
  const auto written = c.offset ? sm40bl::sync_write_offset(handler, port, ids, c.values)
                                : sm40bl::sync_write_goal_position(handler, port, ids, c.values);
  ASSERT_FALSE(written);
  EXPECT_TRUE(std::holds_alternative<InvalidRequest>(written.error().cause()));
  EXPECT_EQ(written.error().text(), c.text);
  EXPECT_TRUE(peer.take_written(0).empty());
}

INSTANTIATE_TEST_SUITE_P(
    NonFiniteOrMismatched, RefusedGroupWrite,
    ::testing::Values(
        RefusedWrite{"NaNGoal", false, {0.0, 0.0, kNaN},
                     "goal position for servo 3 is not finite: NaN"},
        RefusedWrite{"InfiniteGoal", false, {-kInf, 0.0, 0.0},
                     "goal position for servo 1 is not finite: -inf"},
        RefusedWrite{"NaNOffset", true, {0.0, kNaN, 0.0},
                     "position offset for servo 2 is not finite: NaN"},
        RefusedWrite{"InfiniteOffset", true, {0.0, 0.0, kInf},
                     "position offset for servo 3 is not finite: inf"},
        RefusedWrite{"TooFewGoals", false, {0.0, 0.0}, "2 values given for 3 servo ids"},
        RefusedWrite{"TooManyOffsets", true, {0.0, 0.0, 0.0, 0.0},
                     "4 values given for 3 servo ids"}),
    test_support::ByName());

}  // namespace
}  // namespace vorlix::servo_bus
