#include "common/log.hpp"

#include <atomic>

namespace vorlix::log {
namespace {
std::atomic<Sink*> g_sink{nullptr};
std::atomic<Level> g_max_level{Level::Error};
// Deliveries between their look at the sink and the end of its write: uninstall waits them out.
std::atomic<unsigned> g_in_flight{0};
}  // namespace

void install(Sink& sink, Level max_level) {
  g_max_level.store(max_level, std::memory_order_relaxed);
  g_sink.store(&sink, std::memory_order_release);
}

void uninstall() {
  g_sink.store(nullptr, std::memory_order_seq_cst);
  for (unsigned busy = g_in_flight.load(); busy != 0; busy = g_in_flight.load()) {
    g_in_flight.wait(busy);
  }
}

void emit(Level level, std::string_view target, std::string_view message,
          std::source_location where) {
  if (level > g_max_level.load(std::memory_order_relaxed)) return;
  g_in_flight.fetch_add(1, std::memory_order_seq_cst);
  if (Sink* sink = g_sink.load(std::memory_order_seq_cst); sink != nullptr) {
    sink->write(Record{level, target, message, where.file_name(), where.line()});
  }
  if (g_in_flight.fetch_sub(1, std::memory_order_seq_cst) == 1) g_in_flight.notify_all();
}

}  // namespace vorlix::log
