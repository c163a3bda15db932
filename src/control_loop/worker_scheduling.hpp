// The worker's real-time priority, CPU affinity and memory locking, applied part by part:
// a part the system refuses is reported and the others still apply.
#pragma once

#include <pthread.h>

#include "vorlix/control_loop.hpp"

namespace vorlix::control_loop {

SchedulingOutcome apply_scheduling(pthread_t thread, const WorkerScheduling& scheduling);

}  // namespace vorlix::control_loop
