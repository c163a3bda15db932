#include <linux/can.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/test_support.hpp"
#include "table_rows.hpp"
#include "vcan_peer.hpp"

namespace vorlix::can_motor::test {
namespace {

using test_support::ByName;

std::vector<std::uint8_t> bytes(std::size_t count, std::uint8_t first = 1) {
  std::vector<std::uint8_t> out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

struct SendCase : NamedRow {
  CanFrame frame;
  const char* error;     // nullptr: sent
  WireFrame wire;        // what the peer sees when sent
};

class Send : public VcanTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(Send, WritesTheKernelFrameOrRefusesWithNothingSent) {
  const SendCase& c = GetParam();
  const auto sent = transport_->send(c.frame);
  const auto seen = peer_->take(c.error == nullptr ? 1 : 0);
  if (c.error != nullptr) {
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().text(), c.error);
    EXPECT_TRUE(seen.empty());
    return;
  }
  ASSERT_TRUE(sent) << sent.error().text();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].can_id, c.wire.can_id);
  EXPECT_EQ(seen[0].fd, c.wire.fd);
  EXPECT_EQ(seen[0].flags, c.wire.flags);
  EXPECT_EQ(seen[0].hex(), c.wire.hex());
}

std::vector<std::uint8_t> padded(std::vector<std::uint8_t> data, std::size_t length) {
  data.resize(length, 0);
  return data;
}

INSTANTIATE_TEST_SUITE_P(
    Transport, Send,
    ::testing::Values(
        SendCase{"Standard800", {CanId::standard(0x800), {1}}, "invalid CAN id", {}},
        SendCase{"Extended20000000", {CanId::extended(0x20000000), {1}}, "invalid CAN id", {}},
        SendCase{"Standard7FF", {CanId::standard(0x7FF), {1}}, nullptr, classic(0x7FF, {1})},
        SendCase{"Extended1FFFFFFF", {CanId::extended(0x1FFFFFFF), {}}, nullptr,
                 classic(0x9FFFFFFF, {})},
        SendCase{"Classic9", {CanId::standard(1), bytes(9)},
                 "frame too large for selected mode: 9 bytes", {}},
        SendCase{"Fd65", {CanId::standard(1), bytes(65), true},
                 "frame too large for selected mode: 65 bytes", {}},
        SendCase{"Classic8", {CanId::standard(1), bytes(8)}, nullptr, classic(1, bytes(8))},
        SendCase{"Fd64", {CanId::standard(1), bytes(64), true}, nullptr,
                 {1, bytes(64), true, CANFD_FDF}},
        SendCase{"Fd5StaysFive", {CanId::standard(1), bytes(5), true}, nullptr,
                 {1, bytes(5), true, CANFD_FDF}},
        SendCase{"Fd13PadsTo16WithBitRateSwitch", {CanId::standard(1), bytes(13), true, true},
                 nullptr, {1, padded(bytes(13), 16), true, CANFD_FDF | CANFD_BRS}},
        SendCase{"Fd33PadsTo48", {CanId::extended(5), bytes(33), true}, nullptr,
                 {5 | CAN_EFF_FLAG, padded(bytes(33), 48), true, CANFD_FDF}}),
    ByName());

struct RecvCase : NamedRow {
  WireFrame wire;
  CanFrame frame;
};

class Recv : public VcanTest, public ::testing::WithParamInterface<RecvCase> {};

TEST_P(Recv, ConvertsEveryKindOfFrame) {
  peer_->send(GetParam().wire);
  const auto frame = transport_->recv(kAnswerWait);
  ASSERT_TRUE(frame) << frame.error().text();
  EXPECT_EQ(*frame, GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(
    Transport, Recv,
    ::testing::Values(
        RecvCase{"Standard", classic(0x123, {9, 8}), {CanId::standard(0x123), {9, 8}}},
        RecvCase{"Extended", classic(0x1ABCDEF | CAN_EFF_FLAG, {}),
                 {CanId::extended(0x1ABCDEF), {}}},
        // The length says 2; the bytes come from the data area.
        RecvCase{"Remote", classic(0x42 | CAN_RTR_FLAG, {7, 6}), {CanId::standard(0x42), {7, 6}}},
        RecvCase{"FdWithBitRateSwitch", {7, bytes(12), true, CANFD_FDF | CANFD_BRS},
                 {CanId::standard(7), bytes(12), true, true}},
        RecvCase{"FdWithout", {7, bytes(3), true, CANFD_FDF},
                 {CanId::standard(7), bytes(3), true}}),
    ByName());

TEST_F(VcanTest, ShortTimeOutsOnlyTakeWaitingFramesAndNeverBlock) {
  for (const Duration timeout : {Duration::zero(), Duration(999)}) {
    const auto start = Clock::now();
    ASSERT_EQ(transport_->recv(timeout), std::unexpected(CanError::timeout()));
    EXPECT_LT(Clock::now() - start, 1s);  // blocking would never end
  }
  deliver(classic(3, {1}));
  EXPECT_TRUE(transport_->recv(Duration(999)));
}

TEST_F(VcanTest, RequestTakesOnlyTheExpectedIdentifier) {
  Responder responder(interface_name_, [](const WireFrame&) {
    return std::vector{classic(1 | CAN_EFF_FLAG, {0xE1}), classic(2, {0x02}),
                       classic(1, {0xAA}), classic(1, {0xBB})};
  });
  const auto reply =
      transport_->request({CanId::standard(0x10), {0}}, CanId::standard(1), kAnswerWait);
  ASSERT_TRUE(reply) << reply.error().text();
  EXPECT_EQ(reply->data, std::vector<std::uint8_t>{0xAA});
  responder.finish(1);
  // The frames it skipped are gone; the one after the match is still waiting.
  EXPECT_EQ(transport_->recv(kAnswerWait)->data, std::vector<std::uint8_t>{0xBB});
}

struct SilentCase : NamedRow {
  bool busy;  // unrelated traffic every millisecond
};

class SilentBus : public VcanTest, public ::testing::WithParamInterface<SilentCase> {};

// Never before the time-out, and long before a wait that each unrelated frame restarted would
// end: the chatter stops at ten time-outs, so such a wait fails the bound instead of hanging.
TEST_P(SilentBus, TimesOutOnTime) {
  constexpr auto kTimeout = 100ms;
  std::optional<std::jthread> chatter;
  if (GetParam().busy) {
    chatter.emplace([this, until = Clock::now() + 10 * kTimeout](std::stop_token stop) {
      while (!stop.stop_requested() && Clock::now() < until) {
        peer_->send(classic(0x300, {1, 2}));
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  const auto start = Clock::now();
  const auto reply = transport_->request({CanId::standard(1), {}}, CanId::standard(1), kTimeout);
  const auto waited = Clock::now() - start;
  EXPECT_EQ(reply, std::unexpected(CanError::timeout()));
  EXPECT_GE(waited, kTimeout);
  EXPECT_LT(waited, 5 * kTimeout);
}

INSTANTIATE_TEST_SUITE_P(Transport, SilentBus,
                         ::testing::Values(SilentCase{"Quiet", false}, SilentCase{"Busy", true}),
                         ByName());

TEST_F(VcanTest, RequestNeverTakesALateReplyToAnEarlierOne) {
  ASSERT_FALSE(transport_->request({CanId::standard(1), {}}, CanId::standard(1), 10ms));
  deliver(classic(1, {0x01}));  // the first request's answer, too late
  Responder responder(interface_name_,
                      [](const WireFrame&) { return std::vector{classic(1, {0x02})}; });
  const auto reply =
      transport_->request({CanId::standard(1), {}}, CanId::standard(1), kAnswerWait);
  ASSERT_TRUE(reply) << reply.error().text();
  EXPECT_EQ(reply->data, std::vector<std::uint8_t>{0x02});
}

TEST_F(VcanTest, AnUnlimitedTimeOutWaitsForTheReply) {
  Responder responder(interface_name_, [](const WireFrame&) {
    std::this_thread::sleep_for(30ms);
    return std::vector{classic(1, {0x03})};
  });
  const auto reply = transport_->request({CanId::standard(1), {}}, CanId::standard(1),
                                         Duration::max());
  ASSERT_TRUE(reply) << reply.error().text();
  EXPECT_EQ(reply->data, std::vector<std::uint8_t>{0x03});
}

TEST(SocketCanOpen, FailsWithTheSystemsError) {
  const auto missing = SocketCanTransport::open("vorlixnone0");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), CanError::backend(ENODEV));
  EXPECT_EQ(missing.error().text(), std::string("backend error: ") + std::strerror(ENODEV));
  EXPECT_EQ(SocketCanTransport::open(std::string("vcan0\0x", 7)).error(),
            CanError::backend(EINVAL));
}

}  // namespace
}  // namespace vorlix::can_motor::test
