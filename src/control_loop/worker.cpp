#include "src/control_loop/worker.hpp"

#include <array>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "src/control_loop/event_loop.hpp"
#include "src/control_loop/period_watch.hpp"
#include "src/control_loop/worker_capture.hpp"

namespace vorlix::control_loop {
namespace {

double seconds_since(LoopClock::time_point start, LoopClock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

// Timing samples kept on the worker until the next publication.
class StatsCollector {
 public:
  StatsCollector(std::shared_ptr<StatsRecord> record,
                 std::optional<std::chrono::nanoseconds> publication_period,
                 LoopClock::time_point start)
      : record_(std::move(record)),
        publication_period_(publication_period.value_or(std::chrono::nanoseconds::zero())),
        last_tick_(start),
        last_publish_(start) {}

  bool enabled() const { return record_ != nullptr; }

  void add_period(LoopClock::time_point now) {
    append(StatsList::Period, std::array{seconds_since(last_tick_, now)});
    last_tick_ = now;
  }

  void add_write(double seconds) { write_dt_.push_back(seconds); }

  // After each reading: the sample, then the samples kept so far once a period has passed.
  void add_read(LoopClock::time_point started, LoopClock::time_point now) {
    read_dt_.push_back(seconds_since(started, now));
    if (now - last_publish_ <= publication_period_) return;
    append(StatsList::ReadDt, read_dt_);
    append(StatsList::WriteDt, write_dt_);
    read_dt_.clear();
    write_dt_.clear();
    last_publish_ = now;
  }

 private:
  void append(StatsList list, std::span<const double> samples) {
    if (!record_->append(list, samples)) throw std::runtime_error("last_stats mutex was poisoned");
  }

  std::shared_ptr<StatsRecord> record_;
  std::chrono::nanoseconds publication_period_;
  LoopClock::time_point last_tick_;
  LoopClock::time_point last_publish_;
  std::vector<double> read_dt_;
  std::vector<double> write_dt_;
};

}  // namespace

void run_worker(WorkerContext context) {
  const auto start = LoopClock::now();
  StatsCollector stats(context.last_stats, context.stats_pub_period, start);
  WorkerCapture capture(context.recording, start);
  PeriodWatch period_watch(start, context.period);
  BusReconnector reconnector(std::move(context.addresses), context.reconnect,
                             context.allowed_retries);
  const auto execute = [&](QueuedCommand command) {
    capture.before_command(command);
    const auto outcome = handle_commands(context.controller, *context.last_torque,
                                         std::move(command), context.allowed_retries);
    capture.after_command(outcome);
    // Nobody else is told of a failed command: it is discarded here.
    if (!outcome) reconnector.notice_failure(context.controller, outcome.error());
    return outcome.has_value();
  };
  const auto reopen_due = [&] {
    const BusesBack back = reconnector.reopen_due(context.controller);
    if (!back.any()) return;
    // What was queued before a bus came back never reaches it.
    for (auto& command : context.commands.take_all()) {
      if (!back.includes(bus_of(command))) execute(std::move(command));
    }
    reconnector.announce(back);
  };
  run_event_loop(
      context.commands, context.period, FairCoin(),
      [&] {
        const auto now = LoopClock::now();
        period_watch.tick(now);
        if (stats.enabled()) stats.add_period(now);
        reopen_due();
        auto reading = read_pos(context.controller, context.allowed_retries);
        reconnector.notice_reading(context.controller, reading);
        const auto captured_read = capture.tick(now, reading);
        if (auto position = context.last_position->lock()) **position = std::move(reading);
        if (stats.enabled()) stats.add_read(now, captured_read ? *captured_read : LoopClock::now());
      },
      [&](QueuedCommand command) {
        const auto started = LoopClock::now();
        if (execute(std::move(command)) && stats.enabled()) {
          stats.add_write(seconds_since(started, LoopClock::now()));
        }
      },
      [&] {
        auto stop = context.stop_requested->lock();
        if (!stop) throw std::runtime_error("stop_requested mutex was poisoned");
        return **stop;
      },
      [&](QueuedCommand command) { execute(std::move(command)); });
}

}  // namespace vorlix::control_loop
