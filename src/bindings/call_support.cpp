#include "src/bindings/call_support.hpp"

#include <atomic>

namespace vorlix::bindings {
namespace {
std::atomic<unsigned long> main_thread_ident{0};
}  // namespace

bool remember_main_thread() {
  PyObject* threading = PyImport_ImportModule("threading");
  if (threading == nullptr) return false;
  PyObject* main_thread = PyObject_CallMethod(threading, "main_thread", nullptr);
  Py_DECREF(threading);
  if (main_thread == nullptr) return false;
  PyObject* ident = PyObject_GetAttrString(main_thread, "ident");
  Py_DECREF(main_thread);
  if (ident == nullptr) return false;
  const unsigned long value = PyLong_AsUnsignedLong(ident);
  Py_DECREF(ident);
  if (PyErr_Occurred() != nullptr) return false;
  main_thread_ident.store(value);
  return true;
}

bool python_signal_pending() {
  if (PyThread_get_thread_ident() != main_thread_ident.load()) return false;
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool raised = PyErr_CheckSignals() != 0;
  PyGILState_Release(state);
  return raised;
}

}  // namespace vorlix::bindings
