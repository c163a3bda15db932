// Control loops still running when the interpreter exits are closed before it finalizes
// (their queued commands still run); then the logging bridge closes, so that no thread of ours
// reaches for an interpreter that is going.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "vorlix/control_loop.hpp"

namespace vorlix::bindings {

// Registers the exit hook with `atexit`; once per process. False with an error set.
bool install_exit_hook();

// Interpreter lock held.
void track_live_loop(const std::shared_ptr<control_loop::ControlLoop>& loop);

}  // namespace vorlix::bindings
