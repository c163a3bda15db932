#include "src/control_loop/event_loop.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

TEST(WorkerSchedule, CoinIsFair) {
  FairCoin coin(42);
  int heads = 0;
  for (int i = 0; i < 10000; ++i) heads += coin.heads() ? 1 : 0;
  EXPECT_NEAR(heads, 5000, 300);
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

TEST(WorkerSchedule, FirstTickAtOnceAndMissedTicksDeliveredInABurst) {
  auto [tx, rx] = bounded_queue<int>(100);
  ScheduleRun state;
  LoopClock::time_point start;
  std::thread worker([&] {
    start = LoopClock::now();
    run(state, rx, 100ms, [&] {
      // The second tick takes five periods: the missed ones follow at once.
      if (state.ticks.size() == 2) std::this_thread::sleep_for(500ms);
      if (state.ticks.size() == 10) state.stop = true;
    });
  });
  worker.join();
  ASSERT_EQ(state.ticks.size(), 10U);
  // Margins for a loaded machine under the sanitizers: a regular gap is 100 ms.
  EXPECT_LT(state.ticks[0] - start, 50ms);
  // Ticks 3 to 6 fell due at 200 to 500 ms, during the slow tick: all delivered, back to back.
  for (std::size_t k = 2; k < 6; ++k) EXPECT_LT(state.ticks[k + 1] - state.ticks[k], 50ms) << k;
  // The schedule did not move: tick k comes no earlier than k periods after the start.
  for (std::size_t k = 0; k < state.ticks.size(); ++k) {
    EXPECT_GE(state.ticks[k] - state.ticks[0], 100ms * static_cast<int>(k) - 1ms) << k;
  }
  EXPECT_LT(state.ticks[9] - state.ticks[0], 900ms + 300ms);
}

TEST(WorkerSchedule, ReadyCommandsAndDueTicksShareTheWorkerFairly) {
  auto [tx, rx] = bounded_queue<int>(100);
  for (int i = 0; i < 100; ++i) tx.send(i);
  ScheduleRun state;
  // A period of 1 ns keeps a tick due on every step, and the queue never empties before 60
  // commands are served: both are ready at every choice.
  const auto stop_after_60 = [&] {
    state.stop = state.commands.size() >= 60;
    return state.stop.load();
  };
  run_event_loop(
      rx, 1ns, FairCoin(7), [&] { state.ticks.push_back(LoopClock::now()); },
      [&](int command) { state.commands.push_back(command); }, stop_after_60, [](int) {});
  EXPECT_NEAR(static_cast<double>(state.ticks.size()), 60.0, 20.0);
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
