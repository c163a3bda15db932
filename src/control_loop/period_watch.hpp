// Notices a loop that cannot keep its period: most ticks of a window starting a whole period
// or more after they were due (the timer then delivers them in bursts). It warns once a
// minute at most, as a warning every tick would flood the log at the loop's own rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "common/format.hpp"
#include "common/log.hpp"
#include "src/control_loop/event_loop.hpp"

namespace vorlix::control_loop {

class PeriodWatch {
 public:
  static constexpr std::int64_t kWindowTicks = 100;
  static constexpr std::chrono::minutes kWarningInterval{1};

  // `start` and `period` as the loop's timer has them.
  PeriodWatch(LoopClock::time_point start, LoopClock::duration period)
      : due_(start, period), period_(period) {}

  // At each tick's start; allocates only to warn.
  void tick(LoopClock::time_point now) {
    if (now - due_.next_due() >= period_) ++late_ticks_;
    due_.tick();
    if (++window_ticks_ < kWindowTicks) return;
    if (late_ticks_ * 2 > window_ticks_ &&
        (!last_warning_ || now - *last_warning_ >= kWarningInterval)) {
      log::warn(log::kControlLoopTarget,
                fmt::format("the loop cannot keep its period of {:?}: {} of its last {} ticks "
                            "started a period or more late",
                            std::chrono::nanoseconds(period_), late_ticks_, window_ticks_));
      last_warning_ = now;
    }
    window_ticks_ = 0;
    late_ticks_ = 0;
  }

 private:
  PeriodicTimer due_;
  LoopClock::duration period_;
  std::int64_t window_ticks_ = 0;
  std::int64_t late_ticks_ = 0;
  std::optional<LoopClock::time_point> last_warning_;
};

}  // namespace vorlix::control_loop
