// The frame of a class whose instances each hold one core object (the controller, the loop),
// destroyed with the interpreter lock released: closing a port or joining a worker that logs
// meanwhile may wait.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>

#include "src/bindings/held_value.hpp"
#include "src/bindings/method_table.hpp"

namespace vorlix::bindings {

template <class Core>
void destroy_core_handle(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Destructors do not throw.
  Py_BEGIN_ALLOW_THREADS
  held<Core>(self).~Core();
  Py_END_ALLOW_THREADS
  release(self);
  Py_DECREF(type);
}

using CoreHandleSlots = std::array<PyType_Slot, 5>;

template <class Core>
CoreHandleSlots core_handle_slots(const char* doc, newfunc construct, PyMethodDef* methods) {
  return {{{Py_tp_doc, const_cast<char*>(doc)},
           {Py_tp_new, reinterpret_cast<void*>(construct)},
           {Py_tp_dealloc, reinterpret_cast<void*>(destroy_core_handle<Core>)},
           {Py_tp_methods, methods},
           {0, nullptr}}};
}

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No __dict__ and no weak references.
// Immutable: its attributes can be neither set nor deleted.
template <class Core>
PyType_Spec core_handle_spec(const char* name, CoreHandleSlots& slots) {
  return {name, sizeof(HeldValue<Core>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
          slots.data()};
}

}  // namespace vorlix::bindings
