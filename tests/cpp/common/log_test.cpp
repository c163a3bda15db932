#include "common/log.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>

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

}  // namespace
}  // namespace vorlix::log
