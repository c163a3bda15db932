#include "src/bindings/live_loops.hpp"

#include <vector>

#include "src/bindings/call_support.hpp"
#include "src/bindings/logging_bridge.hpp"
#include "src/bindings/panic.hpp"

namespace vorlix::bindings {
namespace {

using control_loop::ControlLoop;

// Touched only under the interpreter lock.
std::vector<std::weak_ptr<ControlLoop>>& live_loops() {
  static auto* loops = new std::vector<std::weak_ptr<ControlLoop>>();  // never destroyed
  return *loops;
}

PyObject* close_live_loops(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    std::vector<std::shared_ptr<ControlLoop>> running;
    for (const auto& loop : live_loops()) {
      if (auto alive = loop.lock()) running.push_back(std::move(alive));
    }
    live_loops().clear();
    // The workers may log while they finish: they need the interpreter lock meanwhile. Loops
    // not closed here (dropped on another thread, or made later) log nothing from now on.
    without_gil([&] {
      for (const auto& loop : running) loop->close();
      running.clear();
      close_logging_bridge();
    });
    return Py_NewRef(Py_None);
  });
}

PyMethodDef close_live_loops_definition = {"_close_live_control_loops", close_live_loops,
                                           METH_NOARGS, nullptr};

}  // namespace

bool install_exit_hook() {
  static bool installed = false;
  if (installed) return true;
  PyObject* atexit = PyImport_ImportModule("atexit");
  if (atexit == nullptr) return false;
  PyObject* hook = PyCFunction_New(&close_live_loops_definition, nullptr);
  PyObject* registered =
      hook == nullptr ? nullptr : PyObject_CallMethod(atexit, "register", "O", hook);
  Py_XDECREF(hook);
  Py_DECREF(atexit);
  if (registered == nullptr) return false;
  Py_DECREF(registered);
  installed = true;
  return true;
}

void track_live_loop(const std::shared_ptr<ControlLoop>& loop) {
  auto& loops = live_loops();
  std::erase_if(loops, [](const auto& tracked) { return tracked.expired(); });
  loops.push_back(loop);
}

}  // namespace vorlix::bindings
