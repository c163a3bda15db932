#include "src/control_loop/event_loop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

namespace vorlix::control_loop {
namespace {

using namespace std::chrono_literals;

TEST(WorkerSchedule, TimerTicksOnAnAbsoluteSchedule) {
  const auto start = LoopClock::now();
  PeriodicTimer timer(start, 10ms);
  EXPECT_EQ(timer.next_due(), start);
  for (int i = 0; i < 3; ++i) timer.tick();
  EXPECT_EQ(timer.next_due(), start + 30ms);
  PeriodicTimer centuries(start, LoopClock::duration::max() / 2);
  centuries.tick();
  centuries.tick();
  EXPECT_EQ(centuries.next_due(), LoopClock::time_point::max());
}

// Runs the loop on a thread of its own until `stop` is set.
struct ScheduleRun {
  std::atomic<bool> stop = false;
  std::vector<LoopClock::time_point> ticks;
  std::vector<int> commands;
  std::vector<int> drained;
  std::vector<char> order;  // 't' for a tick, 'c' for a command, in serving order
};

template <class OnTick>
void run(ScheduleRun& state, const QueueReceiver<int>& rx, LoopClock::duration period,
         OnTick on_tick) {
  run_event_loop(
      rx, period, FairCoin(7),
      [&] {
        state.ticks.push_back(LoopClock::now());
        state.order.push_back('t');
        on_tick();
      },
      [&](int command) {
        state.commands.push_back(command);
        state.order.push_back('c');
      },
      [&] { return state.stop.load(); }, [&](int command) { state.drained.push_back(command); });
}

// Measured from instants the test sets, never from a tick a busy machine may have delayed: its
// start, taken before the loop's own, and the end of the slow tick, each half a period before
// the bound that follows it.
TEST(WorkerSchedule, FirstTickAtOnceAndMissedTicksDeliveredInABurst) {
  constexpr auto kPeriod = 200ms;
  auto [tx, rx] = bounded_queue<int>(100);
  ScheduleRun state;
  LoopClock::time_point start;
  std::thread worker([&] {
    start = LoopClock::now();
    run(state, rx, kPeriod, [&] {
      // The second tick lasts until ticks 3 to 5 have fallen due: they follow at once.
      if (state.ticks.size() == 2) {
        std::this_thread::sleep_until(start + 4 * kPeriod + kPeriod / 2);
      }
      if (state.ticks.size() == 7) state.stop = true;
    });
  });
  worker.join();
  ASSERT_EQ(state.ticks.size(), 7U);
  EXPECT_LT(state.ticks[0] - start, kPeriod / 2);
  // The schedule did not move: tick k comes no earlier than k periods after the start.
  for (std::size_t k = 0; k < state.ticks.size(); ++k) {
    EXPECT_GE(state.ticks[k] - start, kPeriod * static_cast<int>(k)) << k;
  }
  // Delivered before the next one falls due: neither shifted by the slow tick nor skipped.
  EXPECT_LT(state.ticks[4] - start, 5 * kPeriod);
}

// The serving order when a tick is due at every step (a period of 1 ns) and the queue is
// refilled after every command: both sources are ready at each of `picks` choices.
std::vector<char> serve_both_always_ready(std::uint64_t seed, std::size_t picks) {
  auto [tx, rx] = bounded_queue<int>(100);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(tx.send(i));
  std::vector<char> order;
  run_event_loop(
      rx, 1ns, FairCoin(seed), [&] { order.push_back('t'); },
      [&, sender = tx](int command) {
        order.push_back('c');
        EXPECT_TRUE(sender.send(command));
      },
      [&] { return order.size() >= picks; }, [](int) {});
  return order;
}

class FairShare : public ::testing::TestWithParam<std::uint64_t> {};

// Neither source waits long behind the other, and each gets about half of the worker.
TEST_P(FairShare, BothAlwaysReadyNeitherStarves) {
  constexpr std::size_t kPicks = 4000;
  const std::vector<char> order = serve_both_always_ready(GetParam(), kPicks);
  ASSERT_EQ(order.size(), kPicks);
  const auto ticks = std::ranges::count(order, 't');
  // Six standard deviations of a fair split.
  EXPECT_NEAR(static_cast<double>(ticks), kPicks / 2.0, 6 * std::sqrt(kPicks / 4.0));
  std::size_t run = 1;
  std::size_t longest = 1;
  for (std::size_t i = 1; i < order.size(); ++i) {
    run = order[i] == order[i - 1] ? run + 1 : 1;
    longest = std::max(longest, run);
  }
  // A fair coin's longest run in 4000 flips is about 12.
  EXPECT_LE(longest, 30U);
}

INSTANTIATE_TEST_SUITE_P(WorkerSchedule, FairShare, ::testing::Values(1, 7, 42, 20260101));

// The coin decides only between two ready sources: commands ready while no tick is due are
// served at once, one after another, never held back for the next tick an hour away.
TEST(WorkerSchedule, ALoneReadySourceIsServedWithoutAToss) {
  auto [tx, rx] = bounded_queue<int>(100);
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(tx.send(i));
  ScheduleRun state;
  run_event_loop(
      rx, std::chrono::hours(1), FairCoin(), [&] { state.order.push_back('t'); },
      [&](int command) { state.commands.push_back(command); },
      [&] { return state.commands.size() == 50 && !state.order.empty(); }, [](int) {});
  // The first tick, due at once, came among the commands; the second is an hour away.
  EXPECT_EQ(state.order.size(), 1U);
  std::vector<int> expected(50);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(state.commands, expected);
}

TEST(WorkerSchedule, CommandsQueuedAtStopAreAllCarriedOut) {
  auto [tx, rx] = bounded_queue<int>(100);
  ScheduleRun state;
  run(state, rx, 10ms, [&] {
    for (int i = 0; i < 50; ++i) tx.send(i);
    state.stop = true;
  });
  std::vector<int> all = state.commands;
  all.insert(all.end(), state.drained.begin(), state.drained.end());
  ASSERT_EQ(all.size(), 50U);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(all[static_cast<std::size_t>(i)], i);
  // Posting is closed while the queue drains, so posters cannot keep it going.
  EXPECT_FALSE(tx.send(50));
}

}  // namespace
}  // namespace vorlix::control_loop
