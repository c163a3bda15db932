#include <gtest/gtest.h>

#include <chrono>

#include "servo_bus/feetech_protocol/protocol.hpp"
#include "servo_bus/scripted_servo_peer.hpp"
#include "support/test_support.hpp"

namespace vorlix::servo_bus {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::bytes_of;
using test_support::hex;
using testing::ScriptedServoPeer;
using testing::status_reply;
using Clock = std::chrono::steady_clock;

const Bytes kPing1 = bytes_of("FF FF 01 02 01 FB");
const Bytes kSyncReadPositions = bytes_of("FF FF FE 08 82 38 02 01 02 03 04 33");
const Bytes kArmIds{1, 2, 3, 4};

FramedInstruction ping_packet(std::uint8_t id) {
  return FramedInstruction::frame(id, Instruction::Ping, {}).value();
}

class ProtocolTest : public ::testing::Test {
 protected:
  ScriptedServoPeer peer;
  SerialPort port = peer.open_port();
  FeetechProtocolHandler handler;
};

// The timing tests set pauses and waits far longer than any delay of a busy host, so that one
// pause or wait more or less cannot pass unseen.
TEST_F(ProtocolTest, StrayBytesAreDrainedWithOnePauseBeforeTheRequest) {
  constexpr auto kPause = 500ms;
  peer.inject(port, {0x12, 0x34});
  const auto start = Clock::now();
  const auto sent = Protocol::send_instruction_packet(port, ping_packet(1), kPause);
  const auto elapsed = Clock::now() - start;
  ASSERT_TRUE(sent) << sent.error().text();
  EXPECT_EQ(port.bytes_to_read().value(), 0U);
  EXPECT_GE(elapsed, kPause);
  EXPECT_LT(elapsed, 2 * kPause) << "one pause, not two";
  EXPECT_EQ(hex(peer.take_written(kPing1.size())), hex(kPing1));
}

TEST_F(ProtocolTest, InputThatKeepsComingIsATimeoutErrorAndNothingIsWritten) {
  peer.flood().start();
  ASSERT_TRUE(testing::eventually([&] { return port.bytes_to_read().value() > 0; }));
  const auto start = Clock::now();
  const auto sent = Protocol::send_instruction_packet(port, ping_packet(1));
  const auto elapsed = Clock::now() - start;
  peer.finish();
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().text(), "Timeout error");
  EXPECT_GE(elapsed, 15ms) << "three passes";
  EXPECT_TRUE(peer.take_written(0).empty());
}

TEST_F(ProtocolTest, HappyExchangesDoNotPause) {
  constexpr auto kPause = 2s;
  const FeetechProtocolHandler pausing(std::nullopt, kPause);
  const Bytes four_replies =
      testing::joined({status_reply(1, {1, 0x08}), status_reply(2, {2, 0x08}),
                       status_reply(3, {3, 0x08}), status_reply(4, {4, 0x08})});
  constexpr int kRounds = 5;
  for (int round = 0; round < kRounds; ++round) {
    peer.answer(kPing1.size(), status_reply(1, {}))
        .answer(kSyncReadPositions.size(), four_replies);
  }
  peer.start();
  const auto start = Clock::now();
  for (int round = 0; round < kRounds; ++round) {
    EXPECT_EQ(pausing.ping(port, 1), true);
    const auto answers = pausing.sync_read(port, kArmIds, 0x38, 2);
    ASSERT_TRUE(answers) << answers.error().text();
    EXPECT_EQ(*answers, (std::vector<Bytes>{{1, 8}, {2, 8}, {3, 8}, {4, 8}}));
  }
  EXPECT_LT(Clock::now() - start, kPause) << "a drain pause in one of the exchanges";
  const auto requests = peer.finish();
  ASSERT_EQ(requests.size(), 2U * kRounds);
  EXPECT_EQ(hex(requests[0]), hex(kPing1));
  EXPECT_EQ(hex(requests[1]), hex(kSyncReadPositions));
}

// A missing reply must stay the retryable I/O time-out, never TimeoutError.
TEST(ProtocolSilentServo, TimesOutAfterOneWait) {
  constexpr auto kWait = 400ms;
  ScriptedServoPeer peer;
  SerialPort port = peer.open_port(kWait);
  const FeetechProtocolHandler handler;
  const auto expect_one_wait = [&](auto check) {
    const auto start = Clock::now();
    check();
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, kWait);
    EXPECT_LT(elapsed, 2 * kWait);
  };
  expect_one_wait([&] { EXPECT_EQ(handler.ping(port, 9), false); });
  expect_one_wait([&] { EXPECT_EQ(handler.reboot(port, 9), false); });
  expect_one_wait([&] {
    const auto read = handler.read(port, 9, 0x38, 2);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), ServoBusError(IoError::timed_out()));
  });
  expect_one_wait([&] {
    const auto write = handler.write(port, 9, 0x28, Bytes{1});
    ASSERT_FALSE(write);
    EXPECT_EQ(write.error(), ServoBusError(IoError::timed_out()));
  });
}

TEST_F(ProtocolTest, SyncReadWithServoThreeAbsentTimesOutAndTheLateAnswerIsDrained) {
  peer.answer(kSyncReadPositions.size(),
              testing::joined({status_reply(1, {0x00, 0x08}), status_reply(2, {0x00, 0x08})}))
      .start();
  const auto answers = handler.sync_read(port, kArmIds, 0x38, 2);
  EXPECT_EQ(hex(peer.finish().at(0)), hex(kSyncReadPositions));
  ASSERT_FALSE(answers);
  EXPECT_EQ(answers.error(), ServoBusError(IoError::timed_out()));

  peer.inject(port, status_reply(4, {0x00, 0x08}));
  EXPECT_TRUE(Protocol::send_instruction_packet(port, ping_packet(1)));
  EXPECT_EQ(port.bytes_to_read().value(), 0U);
  EXPECT_EQ(hex(peer.take_written(kPing1.size())), hex(kPing1));
}

TEST_F(ProtocolTest, AnswerOutOfOrderIsAParsingError) {
  peer.answer(kSyncReadPositions.size(), status_reply(2, {0x00, 0x08})).start();
  const auto answers = handler.sync_read(port, kArmIds, 0x38, 2);
  peer.finish();
  ASSERT_FALSE(answers);
  EXPECT_EQ(answers.error().text(), "Parsing error");
}

struct ReplyCase {
  std::string name;
  std::string wire;
  std::size_t consumed;  // bytes the reader takes before it gives up
};

class BadReply : public ProtocolTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(BadReply, IsAParsingErrorThatReadsNoFurther) {
  const Bytes wire = bytes_of(GetParam().wire);
  peer.inject(port, wire);
  StatusBuffer buffer;
  const auto status = Protocol::read_status_packet(port, 1, buffer);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error(), ServoBusError(CommunicationErrorKind::ParsingError));
  EXPECT_EQ(port.bytes_to_read().value(), wire.size() - GetParam().consumed);
}

INSTANTIATE_TEST_SUITE_P(Feetech, BadReply,
                         ::testing::Values(ReplyCase{"FirstByteNotHeader", "00 FF 01 02 00 FC", 4},
                                           ReplyCase{"LengthZero", "FF FF 01 00 AA BB", 4},
                                           ReplyCase{"LengthOne", "FF FF 01 01 AA BB", 5}),
                         test_support::ByName());

// The delay is long against one wait for a reply, so either outcome stands out however busy
// the machine.
TEST(ProtocolDelay, ReadPausesAfterEveryOutcomeWriteOnlyAfterSuccess) {
  constexpr auto kWait = 300ms;
  constexpr auto kDelay = 1s;
  ScriptedServoPeer peer;
  SerialPort port = peer.open_port(kWait);
  const FeetechProtocolHandler slow(kDelay);
  peer.answer(bytes_of("FF FF 01 05 03 28 01 00 CD").size(), status_reply(1, {})).start();
  auto start = Clock::now();
  ASSERT_TRUE(slow.write(port, 1, 0x28, Bytes{1, 0}));
  EXPECT_GE(Clock::now() - start, kDelay);
  peer.finish();

  start = Clock::now();
  EXPECT_FALSE(slow.write(port, 1, 0x28, Bytes{1, 0}));
  EXPECT_LT(Clock::now() - start, kDelay);

  start = Clock::now();
  EXPECT_FALSE(slow.read(port, 1, 0x38, 2));
  EXPECT_GE(Clock::now() - start, kWait + kDelay);
}

}  // namespace
}  // namespace vorlix::servo_bus
