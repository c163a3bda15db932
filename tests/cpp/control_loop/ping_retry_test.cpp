// The ping rounds of a reopened bus under the readings' retry rule.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "src/control_loop/retry.hpp"

namespace vorlix::control_loop {
namespace {

using Ids = std::vector<std::uint8_t>;

struct PingRow {
  const char* name;
  std::vector<Ids> missing_by_round;  // what each round of pings leaves unanswered
  std::uint64_t allowed_retries;
  bool all_needed;  // the servos' rule; otherwise one answer is enough (the neck's)
  bool answered;
  std::size_t rounds;
};

void PrintTo(const PingRow& row, std::ostream* out) { *out << row.name; }

class PingRetryTest : public ::testing::TestWithParam<PingRow> {};

TEST_P(PingRetryTest, AnUnansweredPingIsTriedAgainUpToTheAllowedRounds) {
  const PingRow& row = GetParam();
  std::size_t rounds = 0;
  const bool answered = answered_with_retry(
      row.allowed_retries, std::chrono::nanoseconds::zero(),
      [&] { return row.missing_by_round.at(rounds++); },
      [&](const Ids& missing) { return row.all_needed ? missing.empty() : missing.size() < 3; });
  EXPECT_EQ(answered, row.answered);
  EXPECT_EQ(rounds, row.rounds);
}

INSTANTIATE_TEST_SUITE_P(
    Rounds, PingRetryTest,
    ::testing::Values(
        PingRow{"AllAnswerAtOnce", {{}}, 5, true, true, 1},
        PingRow{"OneLateServoAnswersInTheSecondRound", {{4}, {}}, 5, true, true, 2},
        // A servo that answered once has answered, though it times out later.
        PingRow{"AnswersSpreadOverRounds", {{2, 6}, {6, 1}, {2, 1}}, 5, true, true, 3},
        PingRow{"OneServoSilentInEveryRound", {{3}, {3}, {3}}, 3, true, false, 3},
        PingRow{"ASingleAttemptAllowed", {{3}, {}}, 1, true, false, 1},
        PingRow{"NeckOneMotorAnsweringIsEnough", {{1, 2, 3}, {1, 3}}, 5, false, true,
                2},
        PingRow{"NeckNoneAnswer", {{1, 2, 3}, {1, 2, 3}}, 2, false, false, 2}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace vorlix::control_loop
