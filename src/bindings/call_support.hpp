// What the classes' methods share once their arguments are converted: waiting with the
// interpreter lock released, and raising a core failure's text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "common/interruption.hpp"

namespace vorlix::bindings {

// Remembers the interpreter's main thread, the one that receives Ctrl-C. At import.
bool remember_main_thread();

// For long operations between their cycles, on the main thread only: takes the interpreter
// lock briefly to run pending signal handlers. True when one raised (KeyboardInterrupt), which
// is then the pending exception of this thread.
bool python_signal_pending();

// Runs `operation` with the interpreter lock released, so that other Python threads (and a
// worker thread that logs) run while this one waits on a bus, a queue, a reply or a join. It
// must touch no Python object. An internal failure is carried out of the region and rethrown
// with the lock back. A long operation inside ends early on Ctrl-C, leaving the exception set.
template <class Operation>
auto without_gil(Operation&& operation) -> std::invoke_result_t<Operation&> {
  using Result = std::invoke_result_t<Operation&>;
  if constexpr (std::is_void_v<Result>) {
    without_gil([&] {
      operation();
      return true;
    });
  } else {
    std::optional<Result> result;
    // Engaged only by a failure: libc++ destroys even an empty exception_ptr out of line.
    std::optional<std::exception_ptr> failure;
    Py_BEGIN_ALLOW_THREADS
    const interruption::Scope interruptible(python_signal_pending);
    try {
      result.emplace(operation());
    } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(*failure);
    return std::move(*result);
  }
}

// Raises `type` with a UTF-8 text (invalid bytes replaced); returns null for the caller to
// return.
inline PyObject* raise_text(PyObject* type, std::string_view text) {
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

}  // namespace vorlix::bindings
