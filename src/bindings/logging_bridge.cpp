#include "src/bindings/logging_bridge.hpp"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vorlix/log.hpp"
#include "common/poisoned_mutex.hpp"
#include "src/bindings/pending_exception.hpp"

namespace vorlix::bindings {
namespace {

constexpr int kAcceptsNothing = INT_MAX;
constexpr int kProbedLevels[] = {5, 10, 20, 30, 40};

int python_level(log::Level level) {
  switch (level) {
    case log::Level::Error: return 40;
    case log::Level::Warn: return 30;
    case log::Level::Info: return 20;
    case log::Level::Debug: return 10;
    case log::Level::Trace: return 5;
  }
  return 0;
}

std::string logger_name(std::string_view target) {
  std::string name;
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target.compare(i, 2, "::") == 0) {
      name += '.';
      ++i;
    } else {
      name += target[i];
    }
  }
  return name;
}

PyObject* decode(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Safe without the interpreter lock. Every CPython from 3.11 marks itself uninitialized in the
// same step that it begins finalizing; the finalizing flag itself is no stable ABI before 3.13.
bool interpreter_shutting_down() { return Py_IsInitialized() == 0; }

// Holds the interpreter lock for its scope, on any thread.
class InterpreterLock {
 public:
  InterpreterLock() : state_(PyGILState_Ensure()) {}
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;
  ~InterpreterLock() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// Deliveries in flight, and whether new ones may start. A thread that asks for the
// interpreter once it finalizes is ended (up to 3.13) or parked for ever (from 3.14) with
// whatever it holds, so after `close` none of ours asks again.
class DeliveryGate {
 public:
  bool enter() {
    const std::lock_guard lock(mutex_);
    if (closed_) return false;
    ++in_flight_;
    ++in_flight_on_this_thread;
    return true;
  }

  void leave() {
    const std::lock_guard lock(mutex_);
    --in_flight_;
    --in_flight_on_this_thread;
    idle_.notify_all();
  }

  // Waits for the deliveries of other threads; those this thread is inside (a handler that
  // ran the exit functions) could not end first.
  void close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    idle_.wait(lock, [this] { return in_flight_ == in_flight_on_this_thread; });
  }

 private:
  inline static thread_local int in_flight_on_this_thread = 0;
  std::mutex mutex_;
  std::condition_variable idle_;
  bool closed_ = false;
  int in_flight_ = 0;
};

// One delivery through the gate: `admitted` is false once the gate is closed.
class Delivery {
 public:
  explicit Delivery(DeliveryGate& gate) : gate_(gate), admitted_(gate.enter()) {}
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;
  ~Delivery() {
    if (admitted_) gate_.leave();
  }
  bool admitted() const { return admitted_; }

 private:
  DeliveryGate& gate_;
  bool admitted_;
};

// A logger and the most verbose level it accepted when its target first logged.
struct CachedLogger {
  PyObject* logger;  // kept for the life of the process
  int most_verbose;
};

class PythonLogSink final : public log::Sink {
 public:
  PythonLogSink(PyObject* logging, PyObject* get_logger, PyObject* is_enabled_for,
                PyObject* make_record, PyObject* handle)
      : logging_(logging),
        get_logger_(get_logger),
        is_enabled_for_(is_enabled_for),
        make_record_(make_record),
        handle_(handle) {}

  // Any thread; takes the interpreter lock only for records that may be wanted.
  void write(const log::Record& record) override {
    const int level = python_level(record.level);
    const std::optional<CachedLogger> cached = lookup(record.target);
    if (cached && level < cached->most_verbose) return;
    const Delivery delivery(gate_);
    // The second test covers an exit without the exit hook (its list cleared from Python).
    if (!delivery.admitted() || interpreter_shutting_down()) return;
    const InterpreterLock held;
    PendingException earlier = PendingException::take();
    deliver(record, level, cached);
    // A failing handler must not turn the call that logged into a failure.
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
    std::move(earlier).restore();
  }

  void close() { gate_.close(); }

 private:
  struct Entry {
    std::string target;
    CachedLogger logger;
  };

  static const Entry* find(const std::vector<Entry>& entries, std::string_view target) {
    const auto found = std::ranges::find(entries, target, &Entry::target);
    return found == entries.end() ? nullptr : &*found;
  }

  std::optional<CachedLogger> lookup(std::string_view target) {
    auto entries = cache_.lock();
    if (!entries) return std::nullopt;
    const Entry* entry = find(**entries, target);
    if (entry == nullptr) return std::nullopt;
    return entry->logger;
  }

  // Takes the reference to `logger`. Interpreter lock held.
  void remember(std::string_view target, PyObject* logger, int most_verbose) {
    {
      auto entries = cache_.lock();
      if (entries && find(**entries, target) == nullptr) {
        (*entries)->push_back(Entry{std::string(target), CachedLogger{logger, most_verbose}});
        return;
      }
    }
    Py_DECREF(logger);
  }

  // 1 or 0, or -1 with an error set.
  int is_enabled_for(PyObject* logger, int level) {
    PyObject* number = PyLong_FromLong(level);
    if (number == nullptr) return -1;
    PyObject* answer = PyObject_CallMethodObjArgs(logger, is_enabled_for_, number, nullptr);
    Py_DECREF(number);
    if (answer == nullptr) return -1;
    const int truth = PyObject_IsTrue(answer);
    Py_DECREF(answer);
    return truth;
  }

  // The most verbose of the probed levels that the logger accepts, or -1 with an error set.
  int most_verbose_level(PyObject* logger) {
    for (const int level : kProbedLevels) {
      const int enabled = is_enabled_for(logger, level);
      if (enabled != 0) return enabled < 0 ? -1 : level;
    }
    return kAcceptsNothing;
  }

  // logger.handle(logger.makeRecord(name, level, file, line, message, (), None)).
  bool handle(PyObject* logger, const std::string& name, int level, const log::Record& record) {
    PyObject* args[] = {decode(name),
                        PyLong_FromLong(level),
                        decode(record.file),
                        PyLong_FromUnsignedLong(record.line),
                        decode(record.message),
                        PyTuple_New(0),
                        Py_NewRef(Py_None)};
    bool built = true;
    for (PyObject* arg : args) built = built && arg != nullptr;
    PyObject* made = built ? PyObject_CallMethodObjArgs(logger, make_record_, args[0], args[1],
                                                        args[2], args[3], args[4], args[5],
                                                        args[6], nullptr)
                           : nullptr;
    for (PyObject* arg : args) Py_XDECREF(arg);
    if (made == nullptr) return false;
    PyObject* handled = PyObject_CallMethodObjArgs(logger, handle_, made, nullptr);
    Py_DECREF(made);
    if (handled == nullptr) return false;
    Py_DECREF(handled);
    return true;
  }

  // Interpreter lock held. Leaves an error set on failure.
  void deliver(const log::Record& record, int level, const std::optional<CachedLogger>& cached) {
    const std::string name = logger_name(record.target);
    PyObject* logger = nullptr;
    if (cached) {
      logger = Py_NewRef(cached->logger);
    } else {
      PyObject* py_name = decode(name);
      if (py_name == nullptr) return;
      logger = PyObject_CallMethodObjArgs(logging_, get_logger_, py_name, nullptr);
      Py_DECREF(py_name);
      if (logger == nullptr) return;
    }
    const int enabled = is_enabled_for(logger, level);
    if (enabled < 0 || (enabled == 1 && !handle(logger, name, level, record))) {
      Py_DECREF(logger);
      return;
    }
    if (cached) {
      Py_DECREF(logger);
      return;
    }
    const int most_verbose = most_verbose_level(logger);
    if (most_verbose < 0) {
      Py_DECREF(logger);
      return;
    }
    remember(record.target, logger, most_verbose);
  }

  // Strong references, never released: the sink lives as long as the process.
  PyObject* logging_;
  PyObject* get_logger_;
  PyObject* is_enabled_for_;
  PyObject* make_record_;
  PyObject* handle_;
  // Never cleared: each target's logger and level are sampled once.
  PoisonedMutex<std::vector<Entry>> cache_{std::vector<Entry>{}};
  DeliveryGate gate_;
};

// Never deleted: worker threads may still log while the process exits.
PythonLogSink* bridge_sink = nullptr;  // set under the interpreter lock, at the first import

}  // namespace

bool install_logging_bridge() {
  if (bridge_sink != nullptr) return true;
  PyObject* logging = PyImport_ImportModule("logging");
  if (logging == nullptr) return false;
  PyObject* names[] = {PyUnicode_InternFromString("getLogger"),
                       PyUnicode_InternFromString("isEnabledFor"),
                       PyUnicode_InternFromString("makeRecord"),
                       PyUnicode_InternFromString("handle")};
  for (PyObject* name : names) {
    if (name == nullptr) {
      for (PyObject* other : names) Py_XDECREF(other);
      Py_DECREF(logging);
      return false;
    }
  }
  bridge_sink = new PythonLogSink(logging, names[0], names[1], names[2], names[3]);
  log::install(*bridge_sink, log::Level::Debug);
  return true;
}

void close_logging_bridge() {
  if (bridge_sink != nullptr) bridge_sink->close();
}

}  // namespace vorlix::bindings
