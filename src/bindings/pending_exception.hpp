// The pending Python exception held as one object (the stable ABI of 3.11 gives it as a
// type, value and traceback). Needs the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorlix::bindings {

class PendingException {
 public:
  // Takes the pending exception, if any, and clears the indicator.
  static PendingException take() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    fetch(&type, &value, &traceback);
    if (type == nullptr) return PendingException(nullptr);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
      PyException_SetTraceback(value, traceback);
      Py_DECREF(traceback);
    }
    Py_DECREF(type);
    return PendingException(value);
  }

  PendingException(PendingException&& other) noexcept
      : value_(std::exchange(other.value_, nullptr)) {}
  PendingException& operator=(PendingException&&) = delete;
  PendingException(const PendingException&) = delete;
  PendingException& operator=(const PendingException&) = delete;
  ~PendingException() { Py_XDECREF(value_); }

  explicit operator bool() const { return value_ != nullptr; }
  // The exception object (borrowed); null when nothing was pending.
  PyObject* value() const { return value_; }

  // Makes it the pending exception again, replacing any other; nothing if it is empty.
  void restore() && {
    PyObject* value = std::exchange(value_, nullptr);
    if (value == nullptr) return;
    restore_triple(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                   PyException_GetTraceback(value));
  }

 private:
  // The stable ABI of 3.11 has only the deprecated pair; they still work on every later version.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  static void fetch(PyObject** type, PyObject** value, PyObject** traceback) {
    PyErr_Fetch(type, value, traceback);
  }
  static void restore_triple(PyObject* type, PyObject* value, PyObject* traceback) {
    PyErr_Restore(type, value, traceback);
  }
#pragma GCC diagnostic pop

  explicit PendingException(PyObject* value) : value_(value) {}
  PyObject* value_;
};

}  // namespace vorlix::bindings
