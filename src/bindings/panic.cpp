#include "src/bindings/panic.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <unistd.h>

namespace vorlix::bindings {
namespace {

[[noreturn]] void abort_on_failed_report() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

std::string current_exception_text() {
  try {
    throw;
  } catch (const std::exception& failure) {
    return failure.what();
  } catch (...) {
    return "unknown internal failure";
  }
}

}  // namespace

#if defined(_LIBCPP_VERSION)
void park_thread_for_good() noexcept {
  for (;;) pause();
}
#endif

PyObject* panic_exception_type() {
  // Created under the interpreter lock, which serialises this check.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "vorlix_motor_controller.PanicException",
        "An internal failure of the motor controller; the call was abandoned.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic_from_current_exception() noexcept {
  try {
    const std::string text = current_exception_text();
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_on_failed_report();
    PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                             "replace");
    if (message == nullptr) abort_on_failed_report();
    PyErr_SetObject(type, message);
    Py_DECREF(message);
  } catch (...) {
    abort_on_failed_report();
  }
}

}  // namespace vorlix::bindings
