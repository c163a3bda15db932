// The module's entry point: single-phase initialisation, one interpreter per process.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "src/bindings/call_support.hpp"
#include "src/bindings/control_loop_type.hpp"
#include "src/bindings/live_loops.hpp"
#include "src/bindings/logging_bridge.hpp"
#include "src/bindings/motor_controller_type.hpp"
#include "src/bindings/panic.hpp"
#include "src/bindings/value_types.hpp"

namespace vorlix::bindings {
namespace {

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};

// Added to the module in this order.
constexpr ClassEntry kClasses[] = {
    {"VorlixMotorController", motor_controller_type},
    {"VorlixPyControlLoop", control_loop_type},
    {"VorlixTorsoPosition", torso_position_type},
    {"ControlLoopStats", control_loop_stats_type},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vorlix_motor_controller",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// All of the state below is touched only under the interpreter lock.
constexpr std::int64_t kNoInterpreter = -1;
std::int64_t owning_interpreter = kNoInterpreter;
PyObject* module_object = nullptr;  // kept for the life of the process

bool add_classes(PyObject* module) {
  for (const ClassEntry& entry : kClasses) {
    PyTypeObject* type = entry.type();
    if (type == nullptr ||
        PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) {
      return false;
    }
  }
  return true;
}

PyObject* initialise() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  if (owning_interpreter == kNoInterpreter) owning_interpreter = interpreter;
  if (owning_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "vorlix_motor_controller does not support sub-interpreters; import it from "
                    "the main interpreter only");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);

  PyObject* module = PyModule_Create(&module_definition);
  if (module == nullptr) return nullptr;
  if (!install_logging_bridge() || !install_exit_hook() || !remember_main_thread() ||
      !add_classes(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  module_object = Py_NewRef(module);
  return module;
}

}  // namespace
}  // namespace vorlix::bindings

PyMODINIT_FUNC PyInit_vorlix_motor_controller() {
  return vorlix::bindings::guarded(vorlix::bindings::initialise);
}
