// The Python class VorlixMotorController: the core controller behind a lock, one method per
// core operation, each releasing the interpreter lock while it talks to the motors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorlix::bindings {

// Created on first need and kept for the life of the process (borrowed reference); null with
// an error set if it cannot be created.
PyTypeObject* motor_controller_type();

}  // namespace vorlix::bindings
