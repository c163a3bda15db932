// Long operations (the neck homing, the reboot wait, the supply-voltage wait) ask between
// cycles whether their caller wants them to stop; the Python bindings answer for a Ctrl-C.
// The question is per thread: a thread without a scope is never interrupted.
#pragma once

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

bool requested();

}  // namespace vorlix::interruption
