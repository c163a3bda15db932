// The worker's schedule: a periodic timer and the command queue, one event served per step,
// until a stop is requested; then every command queued by then, posting being closed. Knows nothing of motors, so its
// timing and fairness are tested on their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

#include "src/control_loop/command_queue.hpp"

namespace vorlix::control_loop {

using LoopClock = std::chrono::steady_clock;

// Ticks at start + k * period: the first at once, missed ones one after another, never shifted.
class PeriodicTimer {
 public:
  PeriodicTimer(LoopClock::time_point start, LoopClock::duration period)
      : start_(start), period_(period) {}

  // Saturates: a period of centuries must not wrap around into "due at once, forever".
  LoopClock::time_point next_due() const {
    const auto room = LoopClock::time_point::max() - start_;
    if (ticks_ != 0 && period_ > room / ticks_) return LoopClock::time_point::max();
    return start_ + period_ * ticks_;
  }
  void tick() { ++ticks_; }

 private:
  LoopClock::time_point start_;
  LoopClock::duration period_;
  std::int64_t ticks_ = 0;
};

// Picks between a ready command and a due tick with equal odds.
class FairCoin {
 public:
  explicit FairCoin(std::uint64_t seed = std::random_device{}()) : generator_(seed) {}
  bool heads() { return (generator_() & 1U) != 0; }

 private:
  std::mt19937_64 generator_;
};

// on_tick(), on_command(command), stop_requested() -> bool and on_drained(command) run on the
// calling thread.
template <class Command, class OnTick, class OnCommand, class StopRequested, class OnDrained>
void run_event_loop(const QueueReceiver<Command>& commands, LoopClock::duration period,
                    FairCoin coin, OnTick on_tick, OnCommand on_command,
                    StopRequested stop_requested, OnDrained on_drained) {
  PeriodicTimer timer(LoopClock::now(), period);
  do {
    const auto outcome = commands.wait_until(timer.next_due());
    const bool command_ready = outcome == WaitOutcome::Queued;
    // A wait that ran out has just seen the clock pass the tick.
    const bool tick_due =
        outcome == WaitOutcome::DeadlinePassed || LoopClock::now() >= timer.next_due();
    if (command_ready && (!tick_due || coin.heads())) {
      // The only consumer: what was ready is still there.
      on_command(*commands.try_receive());
    } else if (tick_due) {
      timer.tick();
      on_tick();
    }
    // Otherwise a stop woke the wait: nothing to serve, only the flag to read.
  } while (!stop_requested());
  commands.stop_posting();
  while (auto command = commands.try_receive()) on_drained(std::move(*command));
}

}  // namespace vorlix::control_loop
