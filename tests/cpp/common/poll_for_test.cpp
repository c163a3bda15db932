#include "common/poll_for.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>

namespace vorlix {
namespace {

using std::chrono::milliseconds;

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe(fds.data()), 0); }
  ~Pipe() {
    for (const int fd : fds) ::close(fd);
  }
  std::array<int, 2> fds{};
};

TEST(PollFor, ReportsTheEventsThatCameOrNoneWhenTheTimeRunsOut) {
  Pipe pipe;
  EXPECT_EQ(poll_for(pipe.fds[0], POLLIN, milliseconds(0)), short{0});
  EXPECT_EQ(poll_for(pipe.fds[0], POLLIN, milliseconds(-5)), short{0});
  ASSERT_EQ(::write(pipe.fds[1], "x", 1), 1);
  EXPECT_EQ(poll_for(pipe.fds[0], POLLIN, milliseconds(1000)), short{POLLIN});
  const int closed = ::dup(pipe.fds[0]);
  ::close(closed);
  EXPECT_EQ(poll_for(closed, POLLIN, milliseconds(1000)), short{POLLNVAL});
}

// Signals every millisecond, until the handler has seen kSignals of them.
constexpr int kSignals = 400;
std::atomic<int> signals_seen = 0;
timer_t signal_timer;

void count_signal(int) {
  if (++signals_seen == kSignals) {
    const itimerspec off{};
    timer_settime(signal_timer, 0, &off, nullptr);  // async-signal-safe
  }
}

TEST(PollFor, SignalsEveryMillisecondDoNotStretchTheWait) {
  struct sigaction counting{};
  counting.sa_handler = count_signal;  // no SA_RESTART: every signal interrupts the wait
  struct sigaction previous{};
  signals_seen = 0;
  ASSERT_EQ(::sigaction(SIGALRM, &counting, &previous), 0);
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGALRM;
  ASSERT_EQ(::timer_create(CLOCK_MONOTONIC, &event, &signal_timer), 0);
  const itimerspec every_millisecond{{0, 1'000'000}, {0, 1'000'000}};
  ASSERT_EQ(::timer_settime(signal_timer, 0, &every_millisecond, nullptr), 0);

  // Shorter than the signals last: a wait that began again in full after each one would end
  // only once they stop, at twice this or later.
  const auto wait = milliseconds(kSignals / 2);
  Pipe pipe;
  const auto start = std::chrono::steady_clock::now();
  const auto ready = poll_for(pipe.fds[0], POLLIN, wait);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ::timer_delete(signal_timer);
  ::sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(ready, short{0});
  EXPECT_GT(signals_seen, 10);
  EXPECT_GE(elapsed, wait);
  EXPECT_LT(elapsed, 2 * wait);
}

}  // namespace
}  // namespace vorlix
