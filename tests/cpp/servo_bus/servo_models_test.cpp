#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "servo_bus/scripted_servo_peer.hpp"
#include "servo_bus/servo/feetech/group_ops.hpp"
#include "servo_bus/servo/feetech/registers.hpp"
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

std::int16_t goal_word(double rad) {
  return static_cast<std::int16_t>(feetech::rad_to_word(kSm40bl.goal_position, rad));
}
double present_rad(std::int16_t raw) {
  return feetech::word_to_rad(kSm40bl.present_position, static_cast<std::uint16_t>(raw));
}

TEST(Conversions, GoalPositionTruncatesAndSaturatesWithoutWrapping) {
  for (const auto& [rad, raw] : std::vector<std::pair<double, std::int16_t>>{
           {-kPi, 0}, {kPi, 4096}, {20.0, 15085}, {-20.0, -10989},
           {0.0, 2048}, {1.0, 2699}, {1e9, 32767}, {-1e9, -32768}}) {
    EXPECT_EQ(goal_word(rad), raw) << rad;
  }
}

TEST(Conversions, PresentPositionIsSigned) {
  EXPECT_EQ(present_rad(3072), 1.5707963267948966);
  EXPECT_EQ(present_rad(2048), 0.0);
  EXPECT_EQ(present_rad(0), -kPi);
  EXPECT_EQ(present_rad(-1), -kPi - 2 * kPi / 4096);
}

TEST(Conversions, OffsetIsSignMagnitudeWithBitElevenAloneNegative) {
  const Register& offset = *kSm40bl.position_offset;
  const auto read = [&offset](std::uint16_t raw) { return feetech::word_to_rad(offset, raw); };
  EXPECT_EQ(read(0x0800), 0.0);
  EXPECT_TRUE(std::signbit(read(0x0800)));
  EXPECT_EQ(read(0x07FF), kPi);
  EXPECT_EQ(read(0x1800), 0.0);
  EXPECT_FALSE(std::signbit(read(0x1800)));
  EXPECT_EQ(read(0x0A8B), -651 * kPi / 2047);

  EXPECT_EQ(feetech::rad_to_word(offset, -0.0), 0x0800);
  EXPECT_EQ(feetech::rad_to_word(offset, 0.0), 0);
  EXPECT_EQ(feetech::rad_to_word(offset, -1.0), 0x0A8B);
  EXPECT_EQ(feetech::rad_to_word(offset, kPi), 0x07FF);
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
  const auto positions = feetech::sync_read_present_position(kSts3025bl, handler, port, ids);
  EXPECT_EQ(hex(peer.finish().at(0)), "FF FF FE 07 82 38 02 05 06 07 2C");
  ASSERT_TRUE(positions) << positions.error().text();
  EXPECT_EQ(*positions, (std::vector<double>{kPi / 2, -kPi - 2 * kPi / 4096, 0.0}));
}

TEST_F(ServoModelTest, TorqueEnableReadsAnyNonzeroByteAsTrue) {
  const Bytes ids{1, 2, 3};
  answer_sync_read(peer, ids, {{0}, {1}, {7}});
  const auto torque = feetech::sync_read_torque_enable(kSm40bl, handler, port, ids);
  peer.finish();
  ASSERT_TRUE(torque) << torque.error().text();
  EXPECT_EQ(*torque, (std::vector<bool>{false, true, true}));
}

TEST_F(ServoModelTest, ReplyOfAnotherWidthFailsTheWholeRead) {
  const Bytes ids{1, 2};
  answer_sync_read(peer, ids, {{0x00, 0x08}, {0x00}});
  const auto positions = feetech::sync_read_present_position(kSm40bl, handler, port, ids);
  peer.finish();
  ASSERT_FALSE(positions);
  EXPECT_EQ(positions.error(), ServoBusError(CommunicationErrorKind::ParsingError));
}

TEST_F(ServoModelTest, WritesSendRegisterBytesLowByteFirst) {
  const Bytes ids{1, 2};
  ASSERT_TRUE(
      feetech::sync_write_goal_position(kSm40bl, handler, port, ids, std::vector{0.0, 1.0}));
  ASSERT_TRUE(feetech::sync_write_offset(kSm40bl, handler, port, ids, std::vector{-0.0, 0.0}));
  ASSERT_TRUE(feetech::sync_write_torque_enable(kSts3025bl, handler, port, ids, {false, true}));
  ASSERT_TRUE(feetech::sync_write_lock(kSm40bl, handler, port, ids, {true, false}));
  const Bytes expected = bytes_of(
      "FF FF FE 0A 83 2A 02 01 00 08 02 8B 0A A8 "
      "FF FF FE 0A 83 1F 02 01 00 08 02 00 00 48 "
      "FF FF FE 08 83 28 01 01 00 02 01 49 "
      "FF FF FE 08 83 37 01 01 01 02 00 3A");
  EXPECT_EQ(hex(peer.take_written(expected.size())), hex(expected));
}

// Another model is another value: its register's address, width and scale reach the wire.
TEST_F(ServoModelTest, AnotherModelReadsItsOwnRegister) {
  ServoModel other = kSts3025bl;
  other.present_position = {0x24, 1, Encoding::Position, 128.0};
  const Bytes ids{5, 6};
  answer_sync_read(peer, ids, {{0x40}, {0x80}});
  const auto positions = feetech::sync_read_present_position(other, handler, port, ids);
  EXPECT_EQ(hex(peer.finish().at(0)), "FF FF FE 06 82 24 01 05 06 49");
  ASSERT_TRUE(positions) << positions.error().text();
  EXPECT_EQ(*positions, (std::vector<double>{-kPi / 2, -2 * kPi}));
}

struct RefusedWrite {
  std::string name;
  bool offset;  // else a goal position
  std::vector<double> values;
  std::string text;
  const ServoModel* model = &kSm40bl;
};

class RefusedGroupWrite : public ServoModelTest,
                          public ::testing::WithParamInterface<RefusedWrite> {};

TEST_P(RefusedGroupWrite, SendsNothing) {
  const Bytes ids{1, 2, 3};
  const RefusedWrite& c = GetParam();
  const auto written =
      c.offset ? feetech::sync_write_offset(*c.model, handler, port, ids, c.values)
               : feetech::sync_write_goal_position(*c.model, handler, port, ids, c.values);
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
                     "4 values given for 3 servo ids"},
        RefusedWrite{"OffsetOfAModelWithout", true, {0.0, 0.0, 0.0},
                     "STS3025BL has no position offset register", &kSts3025bl}),
    test_support::ByName());

}  // namespace
}  // namespace vorlix::servo_bus
