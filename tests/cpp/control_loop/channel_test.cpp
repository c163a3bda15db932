#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "src/control_loop/command_queue.hpp"
#include "src/control_loop/reply_channel.hpp"

namespace vorlix::control_loop {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Queue, DeliversInPostingOrder) {
  auto [tx, rx] = bounded_queue<int>(100);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(tx.send(i));
  ASSERT_EQ(rx.wait_until(Clock::now()), WaitOutcome::Queued);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(rx.try_receive(), i);
  EXPECT_EQ(rx.try_receive(), std::nullopt);
}

TEST(Queue, PosterWaitsForRoomUntilOneItemIsTaken) {
  auto [tx, rx] = bounded_queue<int>(100);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(tx.send(i));
  int full_item = 100;
  EXPECT_EQ(tx.try_send(full_item), SendOutcome::Full);
  std::atomic<bool> posting = false;
  std::atomic<bool> taken = false;
  bool posted = false;
  bool returned_after_the_take = false;
  std::thread poster([&, sender = tx] {
    posting = true;
    posting.notify_one();
    posted = sender.send(100);
    returned_after_the_take = taken;
  });
  posting.wait(false);
  // Nothing but this take makes room: a send that returned before it did not wait.
  taken = true;
  EXPECT_EQ(rx.try_receive(), 0);
  poster.join();
  EXPECT_TRUE(posted);
  EXPECT_TRUE(returned_after_the_take);
  for (int i = 1; i <= 100; ++i) EXPECT_EQ(rx.try_receive(), i);
}

TEST(Queue, PostingFailsOnceTheConsumerIsGoneAndWakesAWaitingPoster) {
  auto [tx, rx] = bounded_queue<int>(1);
  ASSERT_TRUE(tx.send(1));
  std::atomic<bool> posting = false;
  std::atomic<int> outcome = -1;
  std::thread poster([&, sender = tx] {
    posting = true;
    posting.notify_one();
    outcome = sender.send(2) ? 1 : 0;
  });
  posting.wait(false);
  // Whether the poster waits already or only starts to: it must fail either way.
  { const auto consumer = std::move(rx); }
  poster.join();
  EXPECT_EQ(outcome, 0);
  EXPECT_FALSE(tx.send(3));
  int item = 4;
  EXPECT_EQ(tx.try_send(item), SendOutcome::Closed);
}

TEST(Queue, WaitEndsAtTheDeadlineWhenNothingIsPosted) {
  auto [tx, rx] = bounded_queue<int>(1);
  const auto start = Clock::now();
  EXPECT_EQ(rx.wait_until(start + 20ms), WaitOutcome::DeadlinePassed);
  EXPECT_GE(Clock::now() - start, 20ms);
}

TEST(Queue, AWakeEndsOneWaitEarly) {
  auto [tx, rx] = bounded_queue<int>(1);
  std::thread waker([sender = tx] {
    std::this_thread::sleep_for(20ms);
    sender.wake_consumer();
  });
  const auto start = Clock::now();
  EXPECT_EQ(rx.wait_until(start + 10s), WaitOutcome::Woken);
  EXPECT_LT(Clock::now() - start, 5s);
  waker.join();
  EXPECT_EQ(rx.wait_until(Clock::now() + 1ms), WaitOutcome::DeadlinePassed);
}

TEST(Queue, ManyPostersLoseNothing) {
  constexpr int kThreads = 8;
  constexpr int kEach = 2000;
  auto [tx, rx] = bounded_queue<int>(100);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([t, sender = tx] {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(sender.send(t * kEach + i));
    });
  }
  std::vector<int> last_seen(kThreads, -1);
  for (int received = 0; received < kThreads * kEach;) {
    if (rx.wait_until(Clock::now() + 5s) != WaitOutcome::Queued) {
      FAIL() << "posters stalled after " << received;
    }
    const int item = *rx.try_receive();
    // Each poster's items arrive in its own order.
    EXPECT_GT(item % kEach, last_seen[static_cast<std::size_t>(item / kEach)]);
    last_seen[static_cast<std::size_t>(item / kEach)] = item % kEach;
    ++received;
  }
  for (auto& poster : posters) poster.join();
}

TEST(ReplyChannel, DeliversTheAnswer) {
  auto [tx, rx] = reply_channel<std::vector<int>>();
  std::thread answerer([sender = std::move(tx)]() mutable { EXPECT_TRUE(std::move(sender).send({1, 2})); });
  EXPECT_EQ(rx.receive(), (std::vector<int>{1, 2}));
  answerer.join();
}

TEST(ReplyChannel, DroppedSenderWakesTheWaiterAtOnce) {
  auto [tx, rx] = reply_channel<int>();
  std::thread dropper([sender = std::move(tx)]() mutable {
    std::this_thread::sleep_for(20ms);
    const auto dropped = std::move(sender);
  });
  const auto start = Clock::now();
  EXPECT_EQ(rx.receive_until(start + 10s), std::unexpected(ReplyFailure::Closed));
  EXPECT_LT(Clock::now() - start, 5s);
  dropper.join();
}

TEST(ReplyChannel, TimesOutWithoutAnAnswer) {
  auto [tx, rx] = reply_channel<int>();
  EXPECT_EQ(rx.receive_until(Clock::now() + 20ms), std::unexpected(ReplyFailure::TimedOut));
}

TEST(ReplyChannel, SendingToAGoneRequesterFails) {
  auto [tx, rx] = reply_channel<int>();
  { const auto gone = std::move(rx); }
  EXPECT_FALSE(std::move(tx).send(1));
}

TEST(ReplyChannel, QueuedRequestsCloseWhenTheConsumerGoes) {
  auto [tx, rx] = bounded_queue<ReplySender<int>>(4);
  auto [reply_tx, reply_rx] = reply_channel<int>();
  ASSERT_TRUE(tx.send(std::move(reply_tx)));
  { const auto consumer = std::move(rx); }
  EXPECT_EQ(reply_rx.receive(), std::unexpected(ReplyFailure::Closed));
}

}  // namespace
}  // namespace vorlix::control_loop
