#include "src/bindings/value_types.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/format.hpp"
#include "src/bindings/arguments.hpp"
#include "src/bindings/held_value.hpp"
#include "src/bindings/method_table.hpp"
#include "src/bindings/panic.hpp"
#include "src/bindings/type_name.hpp"

namespace vorlix::bindings {
namespace {

using control_loop::ControlLoopStats;
using control_loop::VorlixTorsoPosition;

// Null with the error set where the class itself could not be made. The value is copied or
// moved once, into the instance.
template <class Value>
PyObject* new_value(PyTypeObject* type, Value&& value) {
  if (type == nullptr) return nullptr;
  return new_holding<std::remove_cvref_t<Value>>(type, std::forward<Value>(value));
}

template <class Value>
void destroy(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  held<Value>(self).~Value();
  release(self);
  Py_DECREF(type);
}

// A read-only attribute: a list of floats.
template <class Value, auto Member>
PyObject* get_list(PyObject* self, void*) {
  return guarded([self] { return to_python(std::span<const double>(held<Value>(self).*Member)); });
}

// VorlixTorsoPosition.

constexpr const char* kTorsoPositionParameters[] = {"left_arm", "right_arm", "nose", "neck"};
constexpr Signature kPositionNew{"VorlixTorsoPosition", "__new__", kTorsoPositionParameters, 4};
constexpr char kLengthsMessage[] =
    "Each arm must have 2 positions, nose must have 3, neck must have 3.";

PyObject* construct_position(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, std::size(kTorsoPositionParameters)> slots{};
    if (!parse_arguments(kPositionNew, args, kwargs, slots)) return nullptr;
    VorlixTorsoPosition position{};
    const std::array<std::span<double>, std::size(kTorsoPositionParameters)> fields{
        position.left_arm, position.right_arm, position.nose, position.neck};
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!fill_real_array(slots[i], kTorsoPositionParameters[i], fields[i], kLengthsMessage)) {
        return nullptr;
      }
    }
    position.timestamp = control_loop::wall_clock_seconds();
    return new_value(type, position);
  });
}

PyObject* get_timestamp(PyObject* self, void*) {
  return guarded([self] { return to_python(held<VorlixTorsoPosition>(self).timestamp); });
}

PyObject* position_repr(PyObject* self) {
  return guarded([self]() -> PyObject* {
    const VorlixTorsoPosition& position = held<VorlixTorsoPosition>(self);
    const std::string text = fmt::format(
        "VorlixTorsoPosition(left_arm={:?}, right_arm={:?}, nose={:?}, neck={:?}, "
        "timestamp={:.3})",
        position.left_arm, position.right_arm, position.nose, position.neck, position.timestamp);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyGetSetDef position_attributes[] = {
    {"left_arm", get_list<VorlixTorsoPosition, &VorlixTorsoPosition::left_arm>, nullptr, nullptr,
     nullptr},
    {"right_arm", get_list<VorlixTorsoPosition, &VorlixTorsoPosition::right_arm>, nullptr,
     nullptr, nullptr},
    {"nose", get_list<VorlixTorsoPosition, &VorlixTorsoPosition::nose>, nullptr, nullptr, nullptr},
    {"neck", get_list<VorlixTorsoPosition, &VorlixTorsoPosition::neck>, nullptr,
     "Neck joint positions in rad: [yaw, pitch, roll].", nullptr},
    {"timestamp", get_timestamp, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot position_slots[] = {
    {Py_tp_doc, const_cast<char*>("VorlixTorsoPosition(left_arm, right_arm, nose, neck)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(construct_position)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<VorlixTorsoPosition>)},
    {Py_tp_repr, reinterpret_cast<void*>(position_repr)},
    {Py_tp_getset, position_attributes},
    {0, nullptr},
};

PyType_Spec position_spec = {
    "vorlix_motor_controller.VorlixTorsoPosition",
    sizeof(HeldValue<VorlixTorsoPosition>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    position_slots,
};

// ControlLoopStats.

// The mean in milliseconds; NaN for no samples.
double mean_milliseconds(const std::vector<double>& samples) {
  const double sum = std::accumulate(samples.begin(), samples.end(), 0.0);
  return sum / static_cast<double>(samples.size()) * 1000.0;
}

PyObject* stats_repr(PyObject* self) {
  return guarded([self]() -> PyObject* {
    const ControlLoopStats& stats = held<ControlLoopStats>(self);
    const std::string text =
        fmt::format("ControlLoopStats(period=~{:.2?}ms, read_dt=~{:.2?} ms, write_dt=~{:.2?} ms)",
                    mean_milliseconds(stats.period), mean_milliseconds(stats.read_dt),
                    mean_milliseconds(stats.write_dt));
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyGetSetDef stats_attributes[] = {
    {"period", get_list<ControlLoopStats, &ControlLoopStats::period>, nullptr, nullptr, nullptr},
    {"read_dt", get_list<ControlLoopStats, &ControlLoopStats::read_dt>, nullptr, nullptr, nullptr},
    {"write_dt", get_list<ControlLoopStats, &ControlLoopStats::write_dt>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stats_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy<ControlLoopStats>)},
    {Py_tp_repr, reinterpret_cast<void*>(stats_repr)},
    {Py_tp_getset, stats_attributes},
    {0, nullptr},
};

// Instances are made only by the control loop.
PyType_Spec stats_spec = {
    "vorlix_motor_controller.ControlLoopStats",
    sizeof(HeldValue<ControlLoopStats>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stats_slots,
};

}  // namespace

PyTypeObject* torso_position_type() { return type_from_spec<position_spec>(); }

PyTypeObject* control_loop_stats_type() { return type_from_spec<stats_spec>(); }

PyObject* new_torso_position(const VorlixTorsoPosition& position) {
  return new_value(torso_position_type(), position);
}

PyObject* new_control_loop_stats(ControlLoopStats&& stats) {
  return new_value(control_loop_stats_type(), std::move(stats));
}

std::optional<VorlixTorsoPosition> to_torso_position(PyObject* value, const char* name) {
  PyTypeObject* type = torso_position_type();
  if (type == nullptr) return std::nullopt;
  if (!Py_IS_TYPE(value, type)) {
    const std::string message =
        fmt::format("argument '{}': '{}' object cannot be converted to 'VorlixTorsoPosition'",
                    name, type_name_of(value));
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return std::nullopt;
  }
  return held<VorlixTorsoPosition>(value);
}

}  // namespace vorlix::bindings
