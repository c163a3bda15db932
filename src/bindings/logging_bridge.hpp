// Delivers the core's log records to Python's `logging`, under the logger named after the
// record's target ("a::b" becomes "a.b").
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorlix::bindings {

// Makes the bridge the process-wide log sink (trace records are dropped before it). Only the
// first successful call installs it. False with an error set if `logging` cannot be imported.
bool install_logging_bridge();

// Records are dropped from now on, so that no thread of ours asks for the interpreter while it
// finalizes; returns once the deliveries in flight on other threads have ended. Interpreter
// lock released.
void close_logging_bridge();

}  // namespace vorlix::bindings
