#include "src/control_loop/stats_record.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.hpp"

namespace vorlix::control_loop {
namespace {

constexpr std::size_t kChunk = StatsRecord::kChunkSamples;

std::vector<double> counting(std::size_t from, std::size_t count) {
  std::vector<double> samples(count);
  for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<double>(from + i);
  return samples;
}

bool counts_up(const std::vector<double>& samples) {
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] != static_cast<double>(i)) return false;
  }
  return true;
}

struct Batches {
  std::string name;
  std::vector<std::size_t> sizes;
  // GoogleTest would print the padding bytes otherwise.
  friend void PrintTo(const Batches& batches, std::ostream* out) { *out << batches.name; }
};

class StatsRecordBatches : public ::testing::TestWithParam<Batches> {};

// Chunk edges are where samples would be lost or doubled.
TEST_P(StatsRecordBatches, EverySampleComesBackInOrderInItsOwnList) {
  StatsRecord record;
  std::size_t total = 0;
  for (const std::size_t size : GetParam().sizes) {
    ASSERT_TRUE(record.append(StatsList::ReadDt, counting(total, size)));
    ASSERT_TRUE(record.append(StatsList::Period, counting(total, size)));
    total += size;
  }
  ControlLoopStats stats;
  EXPECT_FALSE(record.copy_into(stats));
  EXPECT_EQ(stats.read_dt, counting(0, total));
  EXPECT_EQ(stats.period, counting(0, total));
  EXPECT_TRUE(stats.write_dt.empty());
}

INSTANTIATE_TEST_SUITE_P(
    StatsRecord, StatsRecordBatches,
    ::testing::Values(Batches{"none", {}}, Batches{"one", {1}},
                      Batches{"one_chunk", {kChunk - 1, 1}},
                      Batches{"past_a_chunk", {kChunk - 1, 2}},
                      Batches{"many_chunks_at_once", {3 * kChunk + 5}},
                      Batches{"singles_across_edges", std::vector<std::size_t>(2 * kChunk + 3, 1)}),
    test_support::ByName());

// Readers copy while the worker appends one sample at a time: each copy is a whole prefix.
TEST(StatsRecord, CopiesTakenDuringAppendsAreWholePrefixes) {
  constexpr std::size_t kSamples = 5 * kChunk;
  StatsRecord record;
  std::atomic<bool> writing = true;
  std::vector<std::thread> readers;
  std::atomic<int> torn = 0;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      std::size_t last = 0;
      while (writing) {
        ControlLoopStats stats;
        const bool poisoned = record.copy_into(stats);
        if (poisoned || !counts_up(stats.period) || stats.period.size() < last) ++torn;
        last = stats.period.size();
      }
    });
  }
  for (std::size_t i = 0; i < kSamples; ++i) {
    const double sample = static_cast<double>(i);
    ASSERT_TRUE(record.append(StatsList::Period, {&sample, 1}));
  }
  writing = false;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn, 0);
  ControlLoopStats stats;
  record.copy_into(stats);
  EXPECT_EQ(stats.period.size(), kSamples);
}

}  // namespace
}  // namespace vorlix::control_loop
