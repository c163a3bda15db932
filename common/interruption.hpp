// Long operations (the neck homing, the reboot wait, the supply-voltage wait) stop between
// cycles when their caller's std::stop_token asks. The Python bindings' Ctrl-C reaches the
// same stop through a per-thread check: Python's signal flag can only be read by polling
// with the interpreter lock, so no thread of theirs could request a stop on a token. A thread
// without a scope has no check.
#pragma once

#include <chrono>
#include <stop_token>

namespace vorlix::interruption {

using Check = bool (*)();

// Installs `check` for the calling thread until the scope ends.
class Scope {
 public:
  explicit Scope(Check check);
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
  ~Scope();

 private:
  Check previous_;
};

// The token's stop, then the thread's check.
bool requested(const std::stop_token& stop);

// The pause between two cycles: true (at once) when a stop is requested before it, or while
// it lasts through the token; false once it has lasted.
bool pause_or_stop(const std::stop_token& stop, std::chrono::nanoseconds pause);

}  // namespace vorlix::interruption
