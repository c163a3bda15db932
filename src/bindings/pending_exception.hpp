// The pending Python exception held as one object, across the C API change of Python 3.12
// (PyErr_Fetch and PyErr_Restore are deprecated there). Needs the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorlix::bindings {

class PendingException {
 public:
  // Takes the pending exception, if any, and clears the indicator.
  static PendingException take() {
#if PY_VERSION_HEX >= 0x030C0000
    return PendingException(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return PendingException(nullptr);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
      PyException_SetTraceback(value, traceback);
      Py_DECREF(traceback);
    }
    Py_DECREF(type);
    return PendingException(value);
#endif
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
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
  }

 private:
  explicit PendingException(PyObject* value) : value_(value) {}
  PyObject* value_;
};

}  // namespace vorlix::bindings
