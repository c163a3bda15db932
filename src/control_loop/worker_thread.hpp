// The worker's thread, and how it ended.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "src/control_loop/worker.hpp"

namespace vorlix::control_loop {

class WorkerThread {
 public:
  // Throws "failed to spawn thread" when the system refuses a thread. The worker stores its
  // id in `id` before it runs anything, so code it calls can tell it is on the worker;
  // `id` must outlive that first step.
  WorkerThread(WorkerContext context, std::atomic<std::thread::id>& id);
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  // Joins the worker, unless called on the worker itself, which cannot wait for its own end.
  ~WorkerThread();

  // Waits for the end; the failure that ended it abnormally, if one did.
  std::optional<std::string> join();

  // For its scheduling; valid until join.
  std::thread::native_handle_type native_handle() { return thread_.native_handle(); }

 private:
  // Shared with the thread, which may outlive this object when it is detached.
  std::shared_ptr<std::optional<std::string>> failure_;
  std::thread thread_;
};

}  // namespace vorlix::control_loop
