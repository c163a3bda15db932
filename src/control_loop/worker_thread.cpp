#include "src/control_loop/worker_thread.hpp"

#include <exception>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace vorlix::control_loop {
namespace {

std::thread spawn(WorkerContext context, std::shared_ptr<std::optional<std::string>> failure,
                  std::atomic<std::thread::id>& id) {
  try {
    return std::thread([context = std::move(context), failure = std::move(failure), &id]() mutable {
      id.store(std::this_thread::get_id());
      try {
        run_worker(std::move(context));
      } catch (const std::exception& error) {
        *failure = error.what();
      } catch (...) {
        *failure = "unknown failure";
      }
    });
  } catch (const std::system_error&) {
    throw std::runtime_error("failed to spawn thread");
  }
}

}  // namespace

WorkerThread::WorkerThread(WorkerContext context, std::atomic<std::thread::id>& id)
    : failure_(std::make_shared<std::optional<std::string>>()),
      thread_(spawn(std::move(context), failure_, id)) {}

WorkerThread::~WorkerThread() {
  if (!thread_.joinable()) return;
  // The worker cannot wait for its own end; it co-owns `failure_`, the one thing it shares.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
    return;
  }
  thread_.join();
}

std::optional<std::string> WorkerThread::join() {
  thread_.join();
  return *failure_;
}

}  // namespace vorlix::control_loop
