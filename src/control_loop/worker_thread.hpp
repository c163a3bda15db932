// The worker's thread, and how it ended.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "src/control_loop/worker.hpp"

namespace vorlix::control_loop {

class WorkerThread {
 public:
  // Throws "failed to spawn thread" when the system refuses a thread.
  explicit WorkerThread(WorkerContext context);
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  // Only a thread that could not join it (the worker itself) leaves it running.
  ~WorkerThread();

  std::thread::id id() const { return thread_.get_id(); }
  // Waits for the end; the failure that ended it abnormally, if one did.
  std::optional<std::string> join();

 private:
  // Shared with the thread, which may outlive this object when it is detached.
  std::shared_ptr<std::optional<std::string>> failure_;
  std::thread thread_;
};

}  // namespace vorlix::control_loop
