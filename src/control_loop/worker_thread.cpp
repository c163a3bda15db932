#include "src/control_loop/worker_thread.hpp"

#include <cxxabi.h>

#include <exception>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace vorlix::control_loop {
namespace {

std::thread spawn(WorkerContext context, std::shared_ptr<std::optional<std::string>> failure) {
  try {
    return std::thread([context = std::move(context), failure = std::move(failure)]() mutable {
      try {
        run_worker(std::move(context));
      } catch (abi::__forced_unwind&) {
        // The interpreter ends threads that reach for it while it shuts down; let it.
        throw;
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

WorkerThread::WorkerThread(WorkerContext context)
    : failure_(std::make_shared<std::optional<std::string>>()),
      thread_(spawn(std::move(context), failure_)) {}

WorkerThread::~WorkerThread() {
  if (thread_.joinable()) thread_.detach();
}

std::optional<std::string> WorkerThread::join() {
  thread_.join();
  return *failure_;
}

}  // namespace vorlix::control_loop
