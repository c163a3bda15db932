#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "src/control_loop/capture_record.hpp"
#include "src/control_loop/recording.hpp"
#include "src/control_loop/recording_ring.hpp"

namespace vorlix::control_loop {
namespace {

// A record whose every real is its number, so that a torn copy shows. Every other one is a
// successful tick, which the ring copies only in part.
CaptureRecord numbered(std::uint64_t number) {
  CaptureRecord record{};
  record.ok = number % 2 == 0;
  record.reals.fill(static_cast<double>(number));
  record.timestamp = static_cast<double>(number);
  return record;
}

bool intact(const CaptureRecord& record) {
  return std::ranges::all_of(record.reals, [&](double real) { return real == record.timestamp; });
}

std::vector<double> numbers_of(const std::vector<CaptureRecord>& records) {
  std::vector<double> numbers;
  for (const auto& record : records) numbers.push_back(record.timestamp);
  return numbers;
}

struct RingCase {
  const char* name;
  std::size_t capacity;
  std::vector<std::uint64_t> pushes_before_each_take;
  std::vector<std::vector<double>> taken;
  std::vector<std::uint64_t> dropped;
};

class RecordingRingTakes : public testing::TestWithParam<RingCase> {};

TEST_P(RecordingRingTakes, KeepTheNewestAndCountTheRest) {
  const RingCase& c = GetParam();
  RecordingRing ring(c.capacity);
  std::uint64_t next = 0;
  for (std::size_t take = 0; take < c.pushes_before_each_take.size(); ++take) {
    for (std::uint64_t i = 0; i < c.pushes_before_each_take[take]; ++i) ring.push(numbered(next++));
    std::vector<CaptureRecord> records;
    EXPECT_EQ(ring.take(records), c.dropped[take]) << "take " << take;
    EXPECT_EQ(numbers_of(records), c.taken[take]) << "take " << take;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Recording, RecordingRingTakes,
    testing::Values(
        RingCase{"nothing", 3, {0}, {{}}, {0}},
        RingCase{"fewer_than_room", 3, {2, 0}, {{0, 1}, {}}, {0, 0}},
        RingCase{"exactly_full", 3, {3}, {{0, 1, 2}}, {0}},
        RingCase{"overwritten", 3, {7}, {{4, 5, 6}}, {4}},
        RingCase{"one_slot", 1, {2, 1}, {{1}, {2}}, {1, 0}},
        RingCase{"wraps_between_takes", 3, {2, 2, 5}, {{0, 1}, {2, 3}, {6, 7, 8}}, {0, 0, 2}}),
    [](const testing::TestParamInfo<RingCase>& test) { return std::string(test.param.name); });

TEST(RecordingRing, AConsumerRacingTheProducerGetsIntactRecordsAndCountsEveryOtherOne) {
  constexpr std::uint64_t kRecords = 200'000;
  RecordingRing ring(64);
  std::atomic<bool> done = false;
  std::thread producer([&] {
    for (std::uint64_t i = 0; i < kRecords; ++i) ring.push(numbered(i));
    done = true;
  });
  std::vector<CaptureRecord> records;
  std::uint64_t dropped = 0;
  while (!done) dropped += ring.take(records);
  producer.join();
  dropped += ring.take(records);
  EXPECT_EQ(records.size() + dropped, kRecords);
  for (std::size_t i = 0; i < records.size(); ++i) {
    ASSERT_TRUE(intact(records[i])) << i;
    if (i > 0) {
      ASSERT_LT(records[i - 1].timestamp, records[i].timestamp) << i;
    }
  }
}

TEST(Recording, StartsOnceStopsWithoutLosingWhatItCapturedAndCountsAnUntakenRecording) {
  Recording recording;
  recording.publish(numbered(0));  // not recording: nothing kept
  ASSERT_TRUE(recording.start(4));
  EXPECT_FALSE(recording.start(4));
  recording.publish(numbered(1));
  recording.stop();
  recording.publish(numbered(2));
  const auto first = recording.take();
  EXPECT_EQ(numbers_of(first.records), std::vector<double>{1});
  EXPECT_EQ(first.dropped, 0U);

  ASSERT_TRUE(recording.start(4));
  recording.publish(numbered(3));
  recording.publish(numbered(4));
  recording.stop();
  ASSERT_TRUE(recording.start(4));  // the two above were never taken
  recording.publish(numbered(5));
  const auto second = recording.take();
  EXPECT_EQ(numbers_of(second.records), std::vector<double>{5});
  EXPECT_EQ(second.dropped, 2U);
}

TEST(Recording, StartsAndStopsWhileTheWorkerPublishes) {
  Recording recording;
  std::atomic<bool> done = false;
  std::thread worker([&] {
    for (std::uint64_t i = 0; !done; ++i) recording.publish(numbered(i));
  });
  std::vector<CaptureRecord> records;
  for (int cycle = 0; cycle < 200; ++cycle) {
    ASSERT_TRUE(recording.start(8));
    auto taken = recording.take();
    recording.stop();
    records.insert(records.end(), taken.records.begin(), taken.records.end());
  }
  done = true;
  worker.join();
  for (const auto& record : records) ASSERT_TRUE(intact(record));
}

struct CommandCase {
  const char* name;
  QueuedCommand (*make)();
  std::vector<double> reals;
  std::vector<std::uint8_t> bytes;
  std::uint32_t byte_count;
};

TEST(RecordingCommandArguments, AreKeptAsRealsAndBytesAndCounted) {
  const CommandCase cases[] = {
      {"SetAllGoalPositions", [] { return QueuedCommand(SetAllGoalPositions{{1, 2, 3, 4, 5, 6, 7}}); },
       {1, 2, 3, 4, 5, 6, 7}, {}, 0},
      {"SetNeckPosition", [] { return QueuedCommand(SetNeckPosition{{0.1, -0.2, 0.3}}); },
       {0.1, -0.2, 0.3}, {}, 0},
      {"SetNeckRollPosition", [] { return QueuedCommand(SetNeckRollPosition{0.5}); }, {0.5}, {}, 0},
      {"EnableNose", [] { return QueuedCommand(EnableNose{true}); }, {}, {1}, 1},
      {"DisableTorque", [] { return QueuedCommand(DisableTorque{}); }, {}, {}, 0},
      {"DisableTorqueOnIds", [] { return QueuedCommand(DisableTorqueOnIds{{1, 5}}); }, {}, {1, 5}, 2},
      {"WriteRawBytes", [] { return QueuedCommand(WriteRawBytes{3, 21, {7, 8}}); }, {},
       {3, 21, 7, 8}, 4},
      {"WriteRawPacket",
       [] { return QueuedCommand(WriteRawPacket{RawBytes(100, 9), reply_channel<RawBytes>().first}); },
       {}, std::vector<std::uint8_t>(kCapturedBytes, 9), 100},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    const QueuedCommand command = c.make();
    CaptureRecord record{};
    capture_command_arguments(record, command);
    EXPECT_EQ(command_name(record.command), c.name);
    EXPECT_EQ(std::vector<double>(record.reals.begin(), record.reals.begin() + static_cast<std::ptrdiff_t>(c.reals.size())),
              c.reals);
    EXPECT_EQ(record.byte_count, c.byte_count);
    EXPECT_EQ(std::vector<std::uint8_t>(record.bytes.begin(), record.bytes.begin() + static_cast<std::ptrdiff_t>(c.bytes.size())),
              c.bytes);
  }
}

TEST(RecordingText, ALongTextIsCutAtACharacterBoundaryAndMarked) {
  CaptureRecord record{};
  // Two-byte characters after one byte: the room ends inside one of them.
  std::string text = "x";
  for (std::size_t i = 0; i < kCapturedTextBytes; ++i) text += "\xC2\xB0";
  capture_text(record, text);
  EXPECT_TRUE(record.text_truncated);
  EXPECT_EQ(record.text_length, kCapturedTextBytes - 1);
  capture_text(record, "short");
  EXPECT_FALSE(record.text_truncated);
  EXPECT_EQ(std::string(record.text.data(), record.text_length), "short");
}

}  // namespace
}  // namespace vorlix::control_loop
