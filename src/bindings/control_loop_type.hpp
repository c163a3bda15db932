// The Python class VorlixPyControlLoop: a shared reference to a running control loop. Its
// methods post commands, read the loop's records, or wait for an answer with the interpreter
// lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorlix::bindings {

// Created on first need and kept for the life of the process (borrowed reference); null with
// an error set if it cannot be created.
PyTypeObject* control_loop_type();

}  // namespace vorlix::bindings
