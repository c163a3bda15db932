// The name the interpreter's own messages give a type (its tp_name, which the stable ABI
// hides): "int", "datetime.timedelta", "vorlix_motor_controller.VorlixTorsoPosition", and a
// class statement's own name alone. Needs the interpreter lock and no
// pending error; leaves none.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace vorlix::bindings {

std::string type_name(PyTypeObject* type);

// The type of `value`, named so.
std::string type_name_of(PyObject* value);

}  // namespace vorlix::bindings
