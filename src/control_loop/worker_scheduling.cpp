#include "src/control_loop/worker_scheduling.hpp"

#include <sched.h>
#include <sys/mman.h>

#include <cerrno>
#include <string_view>
#include <system_error>

#include "common/format.hpp"

namespace vorlix::control_loop {
namespace {

constexpr int kLowestPriority = 1;
constexpr int kHighestPriority = 99;

std::string refusal(std::string_view setting, int error) {
  return fmt::format("{}: {}", setting, std::generic_category().message(error));
}

std::optional<std::string> set_priority(pthread_t thread, int priority) {
  const auto setting = fmt::format("realtime priority {}", priority);
  if (priority < kLowestPriority || priority > kHighestPriority) {
    return fmt::format("{}: outside {} to {}", setting, kLowestPriority, kHighestPriority);
  }
  const sched_param parameters{.sched_priority = priority};
  if (const int error = ::pthread_setschedparam(thread, SCHED_FIFO, &parameters); error != 0) {
    return refusal(setting, error);
  }
  return std::nullopt;
}

std::optional<std::string> set_cpus(pthread_t thread, const std::vector<int>& cpus) {
  const auto setting = fmt::format("CPUs {:?}", cpus);
  cpu_set_t set;
  CPU_ZERO(&set);
  for (const int cpu : cpus) {
    if (cpu < 0 || cpu >= CPU_SETSIZE) return fmt::format("{}: no CPU {}", setting, cpu);
    CPU_SET(static_cast<std::size_t>(cpu), &set);
  }
  if (const int error = ::pthread_setaffinity_np(thread, sizeof set, &set); error != 0) {
    return refusal(setting, error);
  }
  return std::nullopt;
}

}  // namespace

SchedulingOutcome apply_scheduling(pthread_t thread, const WorkerScheduling& scheduling) {
  SchedulingOutcome outcome;
  const auto refused = [&](std::optional<std::string> refusal) {
    if (refusal) outcome.refused.push_back(std::move(*refusal));
  };
  if (scheduling.realtime_priority) refused(set_priority(thread, *scheduling.realtime_priority));
  if (scheduling.cpus) refused(set_cpus(thread, *scheduling.cpus));
  if (scheduling.lock_memory) {
    outcome.memory_locked = ::mlockall(MCL_CURRENT | MCL_FUTURE) == 0;
    if (!outcome.memory_locked) outcome.refused.push_back(refusal("memory locking", errno));
  }
  int policy = 0;
  sched_param parameters{};
  if (::pthread_getschedparam(thread, &policy, &parameters) == 0 && policy == SCHED_FIFO) {
    outcome.realtime_priority = parameters.sched_priority;
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::pthread_getaffinity_np(thread, sizeof set, &set) == 0) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(static_cast<std::size_t>(cpu), &set)) outcome.cpus.push_back(cpu);
    }
  }
  return outcome;
}

}  // namespace vorlix::control_loop
