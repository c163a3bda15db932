// Instances that each hold one C++ value after their object header, built in place once the
// instance is allocated.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

#include "src/bindings/method_table.hpp"

namespace vorlix::bindings {

template <class Value>
struct HeldValue {
  PyObject ob_base;
  alignas(Value) unsigned char storage[sizeof(Value)];
};

template <class Value>
Value& held(PyObject* self) {
  unsigned char* storage = reinterpret_cast<HeldValue<Value>*>(self)->storage;
  return *std::launder(reinterpret_cast<Value*>(storage));
}

// A new instance of `type` holding a Value made from `arguments`; null with an error set, and
// then the arguments untouched.
template <class Value, class... Arguments>
PyObject* new_holding(PyTypeObject* type, Arguments&&... arguments) {
  PyObject* self = allocate(type);
  if (self == nullptr) return nullptr;
  void* storage = reinterpret_cast<HeldValue<Value>*>(self)->storage;
  new (storage) Value(std::forward<Arguments>(arguments)...);
  return self;
}

}  // namespace vorlix::bindings
