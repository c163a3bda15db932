// The control loop's value classes: VorlixTorsoPosition (one reading of the torso, also
// built from Python) and ControlLoopStats (timing samples, made only by the loop).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "vorlix/torso_position.hpp"

namespace vorlix::bindings {

// Created on first need and kept for the life of the process (borrowed references); null
// with an error set if they cannot be created.
PyTypeObject* torso_position_type();
PyTypeObject* control_loop_stats_type();

// New instances holding the values given.
PyObject* new_torso_position(const control_loop::VorlixTorsoPosition& position);
PyObject* new_control_loop_stats(control_loop::ControlLoopStats&& stats);

// The values of a VorlixTorsoPosition argument; a TypeError naming the class for any other
// object.
std::optional<control_loop::VorlixTorsoPosition> to_torso_position(PyObject* value,
                                                                   const char* name);

}  // namespace vorlix::bindings
