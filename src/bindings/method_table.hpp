// Entries of a class's method table: the call shape parsed, the receiver checked, then the
// method's body, all inside the guard that turns internal failures into PanicException.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "src/bindings/arguments.hpp"
#include "src/bindings/panic.hpp"

namespace vorlix::bindings {

using Arguments = std::span<PyObject* const>;
using TypeGetter = PyTypeObject* (*)();

inline constexpr std::size_t kMostParameters = 4;

// A class's type object, created on first need (under the interpreter lock, which serialises
// the check) and kept for the life of the process; null with an error set on failure.
template <PyType_Spec& Spec>
PyTypeObject* type_from_spec() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&Spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

// An instance of such a class as its tp_alloc makes it, zeroed; null with an error set.
inline PyObject* allocate(PyTypeObject* type) {
  const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

// Frees an instance's memory with its class's tp_free; the caller then drops the class.
inline void release(PyObject* self) {
  const auto free = reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  free(self);
}

// TypeError naming both types; false.
bool refuse_receiver(PyObject* self, PyTypeObject* type);

// The interpreter's method descriptors check the receiver already; this check keeps the
// bodies' casts sound whatever the way in. Inline, as it runs on every call.
inline bool check_receiver(PyObject* self, PyTypeObject* type) {
  return Py_IS_TYPE(self, type) || refuse_receiver(self, type);
}

template <TypeGetter Type, PyObject* (*Body)(PyObject*)>
PyObject* no_arguments(PyObject* self, PyObject*) {
  return guarded([self] { return check_receiver(self, Type()) ? Body(self) : nullptr; });
}

template <TypeGetter Type, const Signature& Parameters, PyObject* (*Body)(PyObject*, Arguments)>
PyObject* with_arguments(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static_assert(Parameters.parameters.size() <= kMostParameters);
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kMostParameters> slots{};
    const ArgumentSlots used(slots.data(), Parameters.parameters.size());
    if (!parse_arguments(Parameters, args, nargs, kwnames, used) || !check_receiver(self, Type())) {
      return nullptr;
    }
    return Body(self, used);
  });
}

// The entries of the class `Type()` makes: `Table::method<Body>(name, doc)` for a method
// without parameters, `Table::method<Parameters, Body>(doc)` for one with.
template <TypeGetter Type>
struct MethodTable {
  template <PyObject* (*Body)(PyObject*)>
  static constexpr PyMethodDef method(const char* name, const char* doc) {
    return {name, no_arguments<Type, Body>, METH_NOARGS, doc};
  }

  template <const Signature& Parameters, PyObject* (*Body)(PyObject*, Arguments)>
  static PyMethodDef method(const char* doc) {
    return {Parameters.name.data(),
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(with_arguments<Type, Parameters, Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
  }
};

}  // namespace vorlix::bindings
