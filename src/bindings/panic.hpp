// Internal failures are C++ exceptions and must never cross the C API: every entry from the
// interpreter runs inside `guarded`, which turns them into PanicException.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <type_traits>
#include <utility>

namespace vorlix::bindings {

// PanicException (a BaseException, so `except Exception` does not swallow it), created on
// first need and kept; null with an error set if it cannot be created.
PyObject* panic_exception_type();

// Raises PanicException with the text of the exception being handled. Only call it from a
// catch block. Ends the process if the report itself fails.
void raise_panic_from_current_exception() noexcept;

#if defined(_LIBCPP_VERSION)
// Never returns: for a thread the finalizing interpreter ends, which must not run on.
[[noreturn]] void park_thread_for_good() noexcept;
#endif

// Runs an entry that returns a new reference or null with an error set.
template <class Entry>
auto guarded(Entry&& entry) -> std::invoke_result_t<Entry&&> {
  static_assert(std::is_pointer_v<std::invoke_result_t<Entry&&>>);
  try {
    return std::forward<Entry>(entry)();
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    // A Python thread (a daemon) that takes the interpreter lock back after finalization
    // began is ended by a forced unwind up to 3.13; it must go on.
    throw;
#endif
  } catch (...) {
#if defined(_LIBCPP_VERSION)
    // LLVM's C++ library (the wheels') sees that forced unwind as a foreign exception and
    // cannot rethrow it: the thread stays here for good instead, as 3.14 keeps such a thread.
    if (abi::__cxa_current_exception_type() == nullptr) park_thread_for_good();
#endif
    raise_panic_from_current_exception();
    return nullptr;
  }
}

}  // namespace vorlix::bindings
