#include "common/log.hpp"

#include <atomic>

namespace vorlix::log {
namespace {
std::atomic<Sink*> g_sink{nullptr};
std::atomic<Level> g_max_level{Level::Error};
}  // namespace

void install(Sink& sink, Level max_level) {
  g_max_level.store(max_level, std::memory_order_relaxed);
  g_sink.store(&sink, std::memory_order_release);
}

void emit(Level level, std::string_view target, std::string_view message,
          std::source_location where) {
  Sink* sink = g_sink.load(std::memory_order_acquire);
  if (sink == nullptr || level > g_max_level.load(std::memory_order_relaxed)) return;
  sink->write(Record{level, target, message, where.file_name(), where.line()});
}

}  // namespace vorlix::log
