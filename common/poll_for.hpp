// One wait for a descriptor's events that signals do not stretch and that reads no clock: in
// a kernel where reading the clock is a system call, a reading's every wait would pay twice.
#pragma once

#include <chrono>
#include <expected>

namespace vorlix {

// Waits at most `wait` for `events` on `fd`. The events that came (0: the time ran out), or
// the errno of a failed wait.
std::expected<short, int> poll_for(int fd, short events, std::chrono::nanoseconds wait);

}  // namespace vorlix
