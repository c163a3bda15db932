#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/scripted_servo_peer.hpp"
#include "support/test_support.hpp"

namespace vorlix::servo_bus {
namespace {

using testing::Bytes;
using testing::bytes_of;
using test_support::hex;

struct GoldenPacket {
  std::string name;
  std::function<BuiltInstruction()> build;
  std::string wire;
};

class InstructionBytes : public ::testing::TestWithParam<GoldenPacket> {};

TEST_P(InstructionBytes, SerializeByteForByte) {
  const auto packet = GetParam().build();
  ASSERT_TRUE(packet) << packet.error().text();
  EXPECT_EQ(hex(packet->bytes()), GetParam().wire);
}

const std::vector<std::vector<std::uint8_t>> kOneByteZeros{{0}, {0}, {0}, {0}};
const std::vector<std::vector<std::uint8_t>> kTwoByteValues{
    {0x00, 0x08}, {0x8B, 0x0A}, {0x00, 0x00}, {0x00, 0x10}};
const Bytes kArmIds{1, 2, 3, 4};

INSTANTIATE_TEST_SUITE_P(
    Feetech, InstructionBytes,
    ::testing::Values(
        GoldenPacket{"Ping",
                     [] { return FramedInstruction::frame(1, Instruction::Ping, {}); },
                     "FF FF 01 02 01 FB"},
        GoldenPacket{"Read", [] { return read_packet(1, 0x38, 2); },
                     "FF FF 01 04 02 38 02 BE"},
        GoldenPacket{"Reboot",
                     [] { return FramedInstruction::frame(5, Instruction::Reboot, {}); },
                     "FF FF 05 02 08 F0"},
        GoldenPacket{"SyncRead", [] { return sync_read_packet(kArmIds, 0x38, 2); },
                     "FF FF FE 08 82 38 02 01 02 03 04 33"},
        GoldenPacket{"SyncReadNoIds", [] { return sync_read_packet({}, 0x38, 2); },
                     "FF FF FE 04 82 38 02 41"},
        GoldenPacket{"SyncWriteOneByte",
                     [] { return sync_write_packet(kArmIds, 0x28, kOneByteZeros); },
                     "FF FF FE 0C 83 28 01 01 00 02 00 03 00 04 00 3F"},
        GoldenPacket{"SyncWriteTwoBytes",
                     [] { return sync_write_packet(kArmIds, 0x2A, kTwoByteValues); },
                     "FF FF FE 10 83 2A 02 01 00 08 02 8B 0A 03 00 00 04 00 10 8B"},
        // An unpaired id must not shrink the width of the pairs that are sent.
        GoldenPacket{"SyncWriteMoreIdsThanValues",
                     [] {
                       return sync_write_packet(
                           kArmIds, 0x2A, std::span(kTwoByteValues).first(2));
                     },
                     "FF FF FE 0A 83 2A 02 01 00 08 02 8B 0A A8"},
        GoldenPacket{"Write",
                     [] { return write_packet(3, 0x28, Bytes{1}); },
                     "FF FF 03 04 03 28 01 CC"}),
    test_support::ByName());

TEST(InstructionPacket, RefusesWhatCannotBeFramed) {
  EXPECT_TRUE(FramedInstruction::frame(1, Instruction::Write, {Bytes(253, 0)}));
  const auto too_long =
      FramedInstruction::frame(1, Instruction::Write, {Bytes(200, 0), Bytes(54, 0)});
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().text(), "instruction packet has 254 parameter bytes, at most 253 fit");

  const std::vector<std::vector<std::uint8_t>> wide{Bytes(256, 0)};
  const auto too_wide = sync_write_packet(Bytes{1}, 0x2A, wide);
  ASSERT_FALSE(too_wide);
  EXPECT_EQ(too_wide.error().text(), "sync write data width 256 does not fit in 8 bits");

  for (const auto& [ids, values] :
       {std::pair{Bytes{}, kOneByteZeros}, std::pair{kArmIds, decltype(kOneByteZeros){}}}) {
    const auto empty = sync_write_packet(ids, 0x28, values);
    ASSERT_FALSE(empty);
    EXPECT_TRUE(std::holds_alternative<InvalidRequest>(empty.error().cause()));
  }
}

struct ParseCase {
  std::string name;
  std::string wire;
  std::uint8_t expected_id;
  std::optional<CommunicationErrorKind> error;  // empty: parses
  std::string printed;
};

class StatusParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(StatusParsing, ChecksInWireOrder) {
  const ParseCase& c = GetParam();
  const auto wire = bytes_of(c.wire);
  ::testing::internal::CaptureStdout();
  const auto status = check_status(wire, c.expected_id);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
  if (c.error) {
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error(), ServoBusError(*c.error));
  } else {
    ASSERT_TRUE(status) << status.error().text();
    EXPECT_EQ(hex(status_data(wire)), hex(std::span(wire).subspan(5, wire.size() - 6)));
  }
}

constexpr auto kParsing = CommunicationErrorKind::ParsingError;
constexpr auto kChecksum = CommunicationErrorKind::ChecksumError;

INSTANTIATE_TEST_SUITE_P(
    Feetech, StatusParsing,
    ::testing::Values(
        ParseCase{"Data", "FF FF 01 04 00 00 08 F2", 1, std::nullopt, ""},
        ParseCase{"NoData", "FF FF 01 02 00 FC", 1, std::nullopt, ""},
        ParseCase{"FiveBytesIsShortWithoutALine", "FF FF 01 02 00", 1, kParsing, ""},
        ParseCase{"Empty", "", 1, kParsing, ""},
        ParseCase{"ChecksumBeforeId", "FF FF 02 02 00 00", 1, kChecksum,
                  "read crc: 0, computed crc: 251 data: [255, 255, 2, 2, 0, 0]\n"},
        ParseCase{"ChecksumBeforeLength", "FF FF 01 05 00 00 08 F2", 1, kChecksum,
                  "read crc: 242, computed crc: 241 data: [255, 255, 1, 5, 0, 0, 8, 242]\n"},
        ParseCase{"WrongId", "FF FF 02 02 00 FB", 1, kParsing, ""},
        ParseCase{"WrongLength", "FF FF 01 03 00 FB", 1, kParsing, ""},
        ParseCase{"NoHeader", "00 FF 01 02 00 FC", 1, kParsing, ""}),
    test_support::ByName());

}  // namespace
}  // namespace vorlix::servo_bus
