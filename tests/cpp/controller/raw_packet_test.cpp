// write_raw_packet on the in-memory line: what has come by the first sight of an answer.
#include <gtest/gtest.h>

#include <string>

#include "scripted/scripted_torso.hpp"
#include "support/test_support.hpp"

namespace vorlix::controller {
namespace {

using testing::Bytes;

struct RawRow {
  std::string name;
  Bytes packet;
  Bytes answer;
};

class RawPacket : public ::testing::TestWithParam<RawRow> {};

TEST_P(RawPacket, SendsThePacketAsItIsAndAnswersWhatCame) {
  auto torso = testing::scripted_torso();
  const auto answer = torso.controller.write_raw_packet(GetParam().packet);
  ASSERT_TRUE(answer) << answer.error().text();
  EXPECT_EQ(*answer, GetParam().answer);
  EXPECT_EQ(torso.servos->take_requests(), std::vector<Bytes>{GetParam().packet});
}

INSTANTIATE_TEST_SUITE_P(
    Ping, RawPacket,
    ::testing::Values(RawRow{"PresentId", testing::bytes_with_checksum({0xFF, 0xFF, 1, 2, 1}),
                             testing::status_packet(1, {})},
                      RawRow{"AbsentId", testing::bytes_with_checksum({0xFF, 0xFF, 9, 2, 1}), {}}),
    test_support::ByName());

}  // namespace
}  // namespace vorlix::controller
