#include "common/log.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <source_location>
#include <string>
#include <thread>
#include <vector>

namespace vorlix::log {
namespace {

// Holds its first write until released, then remembers that the write ended.
class HeldSink final : public Sink {
 public:
  void write(const Record& record) override {
    entered.count_down();
    release.wait();
    last = std::string(record.message);
    finished = true;
  }
  std::latch entered{1};
  std::latch release{1};
  std::string last;
  bool finished = false;
};

TEST(LogSink, UninstallWaitsForTheWriteInFlightThenDropsEveryRecord) {
  HeldSink sink;
  install(sink, Level::Info);
  std::thread logging([] { warn(kControllerTarget, "in flight"); });
  sink.entered.wait();
  std::thread uninstalling([&sink] {
    uninstall();
    EXPECT_TRUE(sink.finished);  // the sink may be destroyed now
  });
  sink.release.count_down();
  uninstalling.join();
  logging.join();
  EXPECT_EQ(sink.last, "in flight");
  warn(kControllerTarget, "after");
  EXPECT_EQ(sink.last, "in flight");
}

// Keeps a copy of each record: its views end with the write.
class CopyingSink final : public Sink {
 public:
  struct Copy {
    Level level;
    std::string target, message, file;
    unsigned line;
    bool operator==(const Copy&) const = default;
  };
  void write(const Record& record) override {
    copies.push_back({record.level, std::string(record.target), std::string(record.message),
                      std::string(record.file), record.line});
  }
  std::vector<Copy> copies;
};

TEST(LogSink, RecordsUpToTheLevelArriveWithTargetAndSourceLocation) {
  CopyingSink sink;
  install(sink, Level::Info);
  const auto here = std::source_location::current();
  const struct {
    Level level;
    bool delivered;
  } cases[] = {{Level::Error, true}, {Level::Warn, true}, {Level::Info, true},
               {Level::Debug, false}, {Level::Trace, false}};
  std::vector<CopyingSink::Copy> expected;
  for (const auto& [level, delivered] : cases) {
    emit(level, kControlLoopTarget, "one line", here);
    if (delivered) {
      expected.push_back({level, std::string(kControlLoopTarget), "one line", here.file_name(),
                          static_cast<unsigned>(here.line())});
    }
  }
  uninstall();
  EXPECT_EQ(sink.copies, expected);
}

}  // namespace
}  // namespace vorlix::log
