#include "can_motor/damiao/driver.hpp"

#include <map>

#include "support/test_support.hpp"
#include "table_rows.hpp"
#include "vcan_peer.hpp"

namespace vorlix::can_motor::test {
namespace {

using test_support::ByName;

using namespace damiao;

constexpr MitLimits kYaw{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
// status 1, motor 1, p_u 0x7fff, v_u 0x7ff, t_u 0x7ff, 30 and 40 degrees
const std::vector<std::uint8_t> kState{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x28};

Damiao motor(std::uint16_t can_id, std::uint16_t master_id, Duration timeout = kAnswerWait) {
  return Damiao{.timeout = timeout, .limits = kYaw, .can_id = can_id, .master_id = master_id};
}

// A motor that answers state frames on `master_id` to everything but register access.
Responder::Answer state_replies(std::uint32_t master_id, std::vector<std::uint8_t> state = kState) {
  return [=](const WireFrame&) { return std::vector{classic(master_id, state)}; };
}

// A motor's control-mode register, as far as reads and writes of it go.
Responder::Answer mode_register(std::uint32_t& mode, bool accepts_writes) {
  return [&mode, accepts_writes](const WireFrame& in) {
    const auto& d = in.data;
    if (d[2] == 0x55 && accepts_writes) mode = d[4];
    return std::vector{classic(0x001, {d[0], d[1], d[2], d[3], static_cast<std::uint8_t>(mode),
                                       0, 0, 0})};
  };
}

using DriverTest = VcanTest;

TEST_F(DriverTest, EnableAndDisableSendTheirCommandAndDecodeTheReply) {
  for (const auto& [operation, wire] :
       std::map<std::string, std::string>{{"enable", "FF FF FF FF FF FF FF FC"},
                                          {"disable", "FF FF FF FF FF FF FF FD"}}) {
    Responder responder(interface_name_, state_replies(0x001));
    const Damiao m = motor(1, 1);
    const auto state = operation == "enable" ? m.enable(*transport_) : m.disable(*transport_);
    const auto seen = responder.finish(1);
    ASSERT_TRUE(state) << state.error().text();
    EXPECT_EQ(state->motor_id, 1);
    EXPECT_EQ(state->status, 1);
    EXPECT_EQ(state->rotor_temperature, 40);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].can_id, 0x001u);
    EXPECT_EQ(seen[0].hex(), wire);
  }
}

TEST_F(DriverTest, FeedbackRequestNamesTheMotorAndWaitsForItsFeedbackId) {
  Responder responder(interface_name_, [](const WireFrame&) {
    return std::vector{classic(0x002, {0x12, 0, 0, 0, 0, 0, 0, 0}), classic(0x012, kState)};
  });
  const auto state = motor(2, 0x12).request_feedback(*transport_);
  const auto seen = responder.finish(1);
  ASSERT_TRUE(state) << state.error().text();
  EXPECT_EQ(state->motor_id, 1);  // from the frame on 0x012, not the one on 0x002
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].can_id, 0x7FFu);
  EXPECT_EQ(seen[0].hex(), "02 00 CC 00 00 00 00 00");
}

struct ControlCase : NamedRow {
  ControlCommand command;
  std::uint32_t id;
  const char* wire;
};

class Control : public VcanTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(Control, SendsTheModesPayloadToItsIdentifier) {
  Responder responder(interface_name_, state_replies(0x011));
  const auto state = motor(1, 0x11).control(*transport_, GetParam().command);
  const auto seen = responder.finish(1);
  ASSERT_TRUE(state) << state.error().text();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].can_id, GetParam().id);
  EXPECT_EQ(seen[0].hex(), GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(
    Damiao, Control,
    ::testing::Values(
        ControlCase{"Mit", MitCommand{0.0f, 0.0f, 30.0f, 1.0f, 0.0f}, 0x001,
                    "7F FF 7F F0 F5 33 37 FF"},
        ControlCase{"PosVel", PosVelCommand{1.0f, -2.0f}, 0x101, "00 00 80 3F 00 00 00 C0"},
        ControlCase{"Vel", VelCommand{2.0f}, 0x201, "00 00 00 40 00 00 00 00"},
        // velocity limit 150 caps at 100 (10000), current limit -1 at 0
        ControlCase{"ForcePosClamped", ForcePosCommand{0.5f, 150.0f, -1.0f}, 0x301,
                    "00 00 00 3F 10 27 00 00"},
        // 0.129 * 100 = 12.9 and 0.00015 * 10000 = 1.5 truncate to 12 and 1
        ControlCase{"ForcePosTruncated", ForcePosCommand{0.0f, 0.129f, 0.00015f}, 0x301,
                    "00 00 00 00 0C 00 01 00"}),
    ByName());

TEST_F(DriverTest, AShortStateReplyIsRefusedWithItsBytes) {
  Responder responder(interface_name_, state_replies(0x001, {1, 2, 3, 4, 5}));
  const auto state = motor(1, 1).request_feedback(*transport_);
  ASSERT_FALSE(state);
  EXPECT_EQ(state.error(), DamiaoError(UnexpectedReply{{1, 2, 3, 4, 5}}));
}

TEST_F(DriverTest, RegisterReadTakesTheFirstMatchingReplyFromAnyIdentifier) {
  Responder responder(interface_name_, [](const WireFrame&) {
    return std::vector{classic(0x003, {3, 0, 0x33, 0x0A, 9, 0, 0}),     // 7 bytes
                       classic(0x003, {3, 0, 0x55, 0x0A, 9, 0, 0, 0}),  // a write's echo
                       classic(0x003, {3, 0, 0x33, 0x0B, 9, 0, 0, 0}),  // another register
                       classic(0x123, {7, 7, 0x33, 0x0A, 4, 0, 0, 0}),
                       classic(0x003, {3, 0, 0x33, 0x0A, 5, 0, 0, 0})};
  });
  const auto value = motor(3, 0x13).read_register(*transport_, 10);
  const auto seen = responder.finish(1);
  ASSERT_TRUE(value) << value.error().text();
  EXPECT_EQ(*value, RegisterValue::from_uint32(4));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].can_id, 0x7FFu);
  EXPECT_EQ(seen[0].hex(), "03 00 33 0A 00 00 00 00");
}

TEST_F(DriverTest, RegisterReadNeverTakesALateReplyToAnEarlierRead) {
  EXPECT_EQ(motor(1, 1, 20ms).read_register(*transport_, 21),
            std::unexpected(DamiaoError(CanError::timeout())));
  deliver(classic(0x001, {1, 0, 0x33, 21, 0, 0, 0x48, 0x41}));  // 12.5, too late
  Responder responder(interface_name_, [](const WireFrame&) {
    return std::vector{classic(0x001, {1, 0, 0x33, 21, 0, 0, 0x20, 0x41})};  // 10.0
  });
  const auto value = motor(1, 1).read_register(*transport_, 21);
  ASSERT_TRUE(value) << value.error().text();
  EXPECT_EQ(value->type, RegisterType::Float);
  EXPECT_EQ(value->as_float(), 10.0f);
}

TEST_F(DriverTest, RegisterWriteSendsTheValueAndReadsNothing) {
  deliver(classic(0x001, {0xAB}));  // must still be waiting afterwards
  const Damiao m = motor(1, 1);
  ASSERT_TRUE(m.write_register(*transport_, 10, RegisterValue::from_uint32(1)));
  ASSERT_TRUE(m.write_register(*transport_, 0, RegisterValue::from_float(12.5f)));
  const auto seen = peer_->take(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].can_id, 0x7FFu);
  EXPECT_EQ(seen[0].hex(), "01 00 55 0A 01 00 00 00");
  EXPECT_EQ(seen[1].hex(), "01 00 55 00 00 00 48 41");
  EXPECT_EQ(transport_->recv(Duration::zero())->data, std::vector<std::uint8_t>{0xAB});
}

TEST_F(DriverTest, RegisterMisuseIsRefusedBeforeAnythingIsSent) {
  const Damiao m = motor(1, 1);
  EXPECT_EQ(m.read_register(*transport_, 40).error(), DamiaoError(UnknownRegister{40}));
  EXPECT_EQ(m.write_register(*transport_, 82, RegisterValue::from_uint32(0)).error(),
            DamiaoError(UnknownRegister{82}));
  EXPECT_EQ(m.write_register(*transport_, 11, RegisterValue::from_float(1.0f)).error(),
            DamiaoError(ReadOnly{11}));
  EXPECT_EQ(m.write_register(*transport_, 10, RegisterValue::from_float(1.0f)).error(),
            DamiaoError(TypeMismatch{10, RegisterType::Uint32, RegisterType::Float}));
  EXPECT_TRUE(peer_->take(0).empty());
}

TEST_F(DriverTest, ControlModeAlreadyRightIsOneReadAndNoPause) {
  std::uint32_t mode = 1;
  Responder responder(interface_name_, mode_register(mode, true));
  Damiao m = motor(1, 1);
  m.mode_switch_pause = 2s;  // its absence unmistakable however busy the host
  const auto start = Clock::now();
  ASSERT_TRUE(m.ensure_control_mode(*transport_, 1));
  EXPECT_LT(Clock::now() - start, m.mode_switch_pause);
  const auto seen = responder.finish(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].hex(), "01 00 33 0A 00 00 00 00");
}

struct ModeSwitchCase : NamedRow {
  bool accepts_writes;
  bool succeeds;
};

class ModeSwitch : public VcanTest, public ::testing::WithParamInterface<ModeSwitchCase> {};

TEST_P(ModeSwitch, ReadsWritesPausesAndReadsAgain) {
  std::uint32_t mode = 3;
  Responder responder(interface_name_, mode_register(mode, GetParam().accepts_writes));
  const auto result = motor(1, 1).ensure_control_mode(*transport_, 1);
  const auto seen = responder.finish(3);
  if (GetParam().succeeds) {
    EXPECT_TRUE(result) << result.error().text();
  } else {
    EXPECT_EQ(result.error(), DamiaoError(ModeVerifyFailed{1, 3}));
  }
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].hex(), "01 00 33 0A 00 00 00 00");
  EXPECT_EQ(seen[1].hex(), "01 00 55 0A 01 00 00 00");
  EXPECT_EQ(seen[2].hex(), "01 00 33 0A 00 00 00 00");
  EXPECT_GE(seen[2].at - seen[1].at, 100ms);
}

INSTANTIATE_TEST_SUITE_P(Damiao, ModeSwitch,
                         ::testing::Values(ModeSwitchCase{"Accepted", true, true},
                                           ModeSwitchCase{"Refused", false, false}),
                         ByName());

}  // namespace
}  // namespace vorlix::can_motor::test
