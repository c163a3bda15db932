// The retry rule of every servo-bus read the control loop makes: `allowed_retries` counts
// attempts, and only a timed-out or interrupted I/O error is tried again, after `pause`.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/format.hpp"
#include "common/log.hpp"
#include "vorlix/controller_error.hpp"

namespace vorlix::control_loop {

inline bool is_retryable(const controller::ControllerError& error) {
  const auto kind = error.io_kind();
  return kind == servo_bus::IoErrorKind::TimedOut || kind == servo_bus::IoErrorKind::Interrupted;
}

template <class Operation>
auto with_retry(std::uint64_t allowed_retries, std::chrono::nanoseconds pause,
                Operation&& operation)
    -> std::invoke_result_t<Operation&> {
  for (std::uint64_t attempt = 1;; ++attempt) {
    auto result = operation();
    if (result) {
      if (attempt > 1) {
        log::info(log::kControlLoopTarget,
                  fmt::format("Serial I/O recovered after {} retries", attempt - 1));
      }
      return result;
    }
    if (attempt >= allowed_retries || !is_retryable(result.error())) return result;
    std::this_thread::sleep_for(pause);
  }
}

// Rounds of a check that names the devices missing (a ping unanswered is a time-out), under
// the same rule: at most `allowed_retries` rounds, `pause` apart, until `enough` holds for the
// devices that have answered in none of them. One answer in any round counts.
template <class Check, class Enough>
bool answered_with_retry(std::uint64_t allowed_retries, std::chrono::nanoseconds pause,
                         Check&& missing_now, Enough&& enough) {
  auto missing = missing_now();
  for (std::uint64_t attempt = 1;; ++attempt) {
    if (enough(missing)) return true;
    if (attempt >= allowed_retries) return false;
    std::this_thread::sleep_for(pause);
    const auto again = missing_now();
    std::erase_if(missing, [&](const auto& device) {
      return std::ranges::find(again, device) == again.end();
    });
  }
}

}  // namespace vorlix::control_loop
