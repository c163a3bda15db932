// The worker's periodic reading allocates nothing once it runs: this program replaces the
// global operator new to count the allocations made on the worker's thread, which reads seven
// servos on a pty and three neck motors on vcan.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "can_motor/resting_neck.hpp"
#include "src/control_loop/worker.hpp"
#include "support/instant_peers.hpp"
#include "support/pty.hpp"

namespace {

thread_local bool counted_thread = false;
std::atomic<std::size_t> counted_allocations{0};

void* allocate(std::size_t size) {
  if (counted_thread) counted_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

// Every form a sanitizer would otherwise provide, so that none frees what another allocated.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace vorlix::control_loop {
namespace {

using namespace std::chrono_literals;
using can_motor::test::resting_neck;
using can_motor::test::Responder;

constexpr auto kPatience = 30s;  // only a broken loop comes near it

// Answers every sync read on the master of `pty` with one reply per id. At each request for
// the arm group the worker waits for the reply, so the count of its allocations read then
// marks the same point of every tick.
class ServoLine {
 public:
  explicit ServoLine(const test_support::Pty& pty)
      : thread_([this, master = pty.master()](std::stop_token stop) { serve(master, stop); }) {}

  // The marks of the first `ticks` ticks, once that many have been read.
  std::optional<std::vector<std::size_t>> await_ticks(std::size_t ticks) {
    std::unique_lock lock(mutex_);
    if (!tick_seen_.wait_for(lock, kPatience, [&] { return marks_.size() >= ticks; })) {
      return std::nullopt;
    }
    return std::vector(marks_.begin(), marks_.begin() + static_cast<std::ptrdiff_t>(ticks));
  }

 private:
  void serve(int master, const std::stop_token& stop) {
    std::vector<std::uint8_t> input;
    while (!stop.stop_requested()) {
      pollfd entry{master, POLLIN, 0};
      if (::poll(&entry, 1, 5) <= 0 || (entry.revents & POLLIN) == 0) continue;
      std::uint8_t chunk[256];
      const ssize_t got = ::read(master, chunk, sizeof chunk);
      if (got <= 0) continue;
      input.insert(input.end(), chunk, chunk + got);
      test_support::take_sync_reads(input, [&](std::span<const std::uint8_t> request) {
        answer(master, request);
      });
    }
  }

  void answer(int master, std::span<const std::uint8_t> request) {
    if (request[7] == 1) {  // the arm group's first id
      const std::lock_guard lock(mutex_);
      marks_.push_back(counted_allocations.load());
    }
    tick_seen_.notify_all();
    const auto replies = test_support::sync_read_replies(request);
    (void)::write(master, replies.data(), replies.size());
  }

  std::mutex mutex_;
  std::condition_variable tick_seen_;
  std::vector<std::size_t> marks_;
  std::jthread thread_;
};

struct Case {
  std::string name;
  bool statistics;

  friend void PrintTo(const Case& row, std::ostream* out) { *out << row.name; }
};

class TickAllocation : public ::testing::TestWithParam<Case> {};

// Most ticks allocate nothing: statistics that double their room, or a reply a loaded machine
// delays past its time-out, take a few allocations in a few ticks, one more per tick in all.
TEST_P(TickAllocation, SteadyReadingsAllocateNothing) {
  constexpr std::size_t kWarmUpTicks = 20;
  constexpr std::size_t kCountedTicks = 200;
  const char* iface = std::getenv("VORLIX_CAN_IFACE");
  ASSERT_NE(iface, nullptr) << "run these tests through tools/with-vcan";

  test_support::Pty pty;
  ServoLine servos(pty);
  Responder neck(iface, resting_neck({1, 2, 3}));
  auto controller = controller::VorlixMotorController::create(pty.slave_path(), iface);
  ASSERT_TRUE(controller) << controller.error().text();

  auto [commands, received] = bounded_queue<QueuedCommand>(100);
  auto stop = std::make_shared<StopFlag>(false);
  auto position = std::make_shared<PositionRecord>(
      MotorResult<VorlixTorsoPosition>(std::unexpected(MotorError::Communication{})));
  WorkerContext context{std::move(*controller),
                        std::move(received),
                        stop,
                        position,
                        std::make_shared<TorqueRecord>(false),
                        GetParam().statistics ? std::make_shared<StatsRecord>()
                                              : nullptr,
                        2ms,
                        3,
                        0ns,
                        nullptr};
  std::thread worker([&context] {
    counted_thread = true;
    run_worker(std::move(context));
  });
  const auto marks = servos.await_ticks(kWarmUpTicks + kCountedTicks + 1);
  **stop->lock() = true;
  worker.join();

  ASSERT_TRUE(marks) << "the worker stopped reading";
  EXPECT_TRUE(**position->lock()) << "the readings failed, so no steady state was reached";
  std::vector<std::size_t> per_tick;
  for (std::size_t tick = kWarmUpTicks; tick + 1 < marks->size(); ++tick) {
    per_tick.push_back((*marks)[tick + 1] - (*marks)[tick]);
  }
  std::ranges::sort(per_tick);
  EXPECT_EQ(per_tick[per_tick.size() / 2], 0u)
      << "allocations per tick, fewest to most: " << ::testing::PrintToString(per_tick);
}

INSTANTIATE_TEST_SUITE_P(Worker, TickAllocation,
                         ::testing::Values(Case{"WithoutStatistics", false},
                                           Case{"WithStatistics", true}),
                         test_support::ByName{});

}  // namespace
}  // namespace vorlix::control_loop
