#include "common/interruption.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vorlix::interruption {
namespace {
thread_local Check t_check = nullptr;
}  // namespace

Scope::Scope(Check check) : previous_(t_check) { t_check = check; }

Scope::~Scope() { t_check = previous_; }

bool requested(const std::stop_token& stop) {
  return stop.stop_requested() || (t_check != nullptr && t_check());
}

bool pause_or_stop(const std::stop_token& stop, std::chrono::nanoseconds pause) {
  if (requested(stop)) return true;
  if (!stop.stop_possible()) {
    std::this_thread::sleep_for(pause);
    return false;
  }
  std::mutex mutex;
  std::condition_variable_any woken;
  std::unique_lock lock(mutex);
  return woken.wait_for(lock, stop, pause, [] { return false; }) || stop.stop_requested();
}

}  // namespace vorlix::interruption
