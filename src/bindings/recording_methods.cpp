#include "src/bindings/recording_methods.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "common/format.hpp"
#include "src/bindings/call_support.hpp"
#include "src/bindings/value_types.hpp"

namespace vorlix::bindings {
namespace {

namespace core = control_loop;
using core::CaptureRecord;

// How a command's captured reals and bytes read as its arguments, by QueuedCommand alternative.
enum class BytesAre { Nothing, Flag, Ids, RawRead, RawWrite, Packet };
struct ArgumentLayout {
  const char* reals_name;  // null: no reals
  std::size_t real_count;  // 1: a single float rather than a list
  BytesAre bytes;
};
constexpr std::array<ArgumentLayout, std::variant_size_v<core::QueuedCommand>> kLayouts = {{
    {"positions", 7, BytesAre::Nothing},  // SetAllGoalPositions
    {"position", 2, BytesAre::Nothing},   // SetLeftArmPosition
    {"position", 2, BytesAre::Nothing},   // SetRightArmPosition
    {"position", 4, BytesAre::Nothing},   // SetArmsPosition
    {"position", 3, BytesAre::Nothing},   // SetNosePosition
    {"position", 3, BytesAre::Nothing},   // SetNeckPosition
    {"position", 1, BytesAre::Nothing},   // SetNeckYawPosition
    {"position", 1, BytesAre::Nothing},   // SetNeckPitchPosition
    {"position", 1, BytesAre::Nothing},   // SetNeckRollPosition
    {nullptr, 0, BytesAre::Flag},         // EnableNeck
    {nullptr, 0, BytesAre::Nothing},      // EnableTorque
    {nullptr, 0, BytesAre::Ids},          // EnableTorqueOnIds
    {nullptr, 0, BytesAre::Nothing},      // DisableTorque
    {nullptr, 0, BytesAre::Ids},          // DisableTorqueOnIds
    {nullptr, 0, BytesAre::Flag},         // EnableArms
    {nullptr, 0, BytesAre::Flag},         // EnableNose
    {nullptr, 0, BytesAre::RawWrite},     // WriteRawBytes
    {nullptr, 0, BytesAre::RawRead},      // ReadRawBytes
    {nullptr, 0, BytesAre::Packet},       // WriteRawPacket
}};

// Stores `value` (a new reference, or null on failure) under `key`.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int stored = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return stored == 0;
}

PyObject* int_list(std::span<const std::uint8_t> values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), PyLong_FromLong(values[i]));
  }
  return list;
}

bool put_bytes(PyObject* args, const CaptureRecord& record, BytesAre kind) {
  const std::span<const std::uint8_t> kept(
      record.bytes.data(), std::min<std::size_t>(record.byte_count, record.bytes.size()));
  switch (kind) {
    case BytesAre::Nothing:
      return true;
    case BytesAre::Flag:
      return put(args, "enable", to_python(kept[0] != 0));
    case BytesAre::Ids:
      return put(args, "ids", int_list(kept));
    case BytesAre::RawRead:
      return put(args, "id", PyLong_FromLong(kept[0])) &&
             put(args, "addr", PyLong_FromLong(kept[1])) &&
             put(args, "length", PyLong_FromLong(kept[2]));
    case BytesAre::RawWrite:
      return put(args, "id", PyLong_FromLong(kept[0])) &&
             put(args, "addr", PyLong_FromLong(kept[1])) &&
             put(args, "data", to_python(kept.subspan(2)));
    case BytesAre::Packet:
      return put(args, "data", to_python(kept));
  }
  return true;
}

PyObject* command_arguments(const CaptureRecord& record) {
  const ArgumentLayout& layout = kLayouts.at(record.command);
  PyObject* args = PyDict_New();
  if (args == nullptr) return nullptr;
  bool made = true;
  if (layout.reals_name != nullptr) {
    made = put(args, layout.reals_name,
               layout.real_count == 1
                   ? PyFloat_FromDouble(record.reals[0])
                   : to_python(std::span<const double>(record.reals.data(), layout.real_count)));
  }
  made = made && put_bytes(args, record, layout.bytes);
  // Ids or bytes beyond what a record keeps: said, never silent.
  if (made && record.byte_count > record.bytes.size()) made = put(args, "truncated", Py_NewRef(Py_True));
  if (!made) {
    Py_DECREF(args);
    return nullptr;
  }
  return args;
}

PyObject* error_text(const CaptureRecord& record) {
  std::string text(record.text.data(), record.text_length);
  if (record.text_truncated) text += "…";
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* tick_tuple(const CaptureRecord& record) {
  PyObject* reading = nullptr;
  if (record.ok) {
    const auto& r = record.reals;
    reading = new_torso_position(core::VorlixTorsoPosition{
        {r[0], r[1]}, {r[2], r[3]}, {r[4], r[5], r[6]}, {r[7], r[8], r[9]}, record.timestamp});
  } else {
    reading = error_text(record);
  }
  if (reading == nullptr) return nullptr;
  return Py_BuildValue("(dddN)", record.timestamp, record.seconds, record.read_dt, reading);
}

PyObject* command_tuple(const CaptureRecord& record) {
  PyObject* args = command_arguments(record);
  if (args == nullptr) return nullptr;
  PyObject* error = record.ok ? Py_NewRef(Py_None) : error_text(record);
  if (error == nullptr) {
    Py_DECREF(args);
    return nullptr;
  }
  const std::string_view name = core::command_name(record.command);
  return Py_BuildValue("(ds#NNd)", record.timestamp, name.data(),
                       static_cast<Py_ssize_t>(name.size()), args, error, record.seconds);
}

// Appends `item` (a new reference, or null on failure) to `list`.
bool append(PyObject* list, PyObject* item) {
  if (item == nullptr) return false;
  const int appended = PyList_Append(list, item);
  Py_DECREF(item);
  return appended == 0;
}

// An int from 1 to the ring's largest capacity; ValueError for any other int.
std::optional<std::size_t> to_capacity(PyObject* value) {
  PyObject* integer = PyNumber_Index(value);
  if (integer == nullptr) return std::nullopt;
  int overflow = 0;
  const long long capacity = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (capacity == -1 && PyErr_Occurred() != nullptr) {
    Py_DECREF(integer);
    return std::nullopt;
  }
  const bool fits = overflow == 0 && capacity >= 1 &&
                    static_cast<unsigned long long>(capacity) <= core::kMaxRecordingCapacity;
  if (!fits) {
    PyObject* shown = PyObject_Str(integer);
    if (shown != nullptr) {
      PyErr_Format(PyExc_ValueError, "capacity must be from 1 to %zu records (got %U)",
                   core::kMaxRecordingCapacity, shown);
      Py_DECREF(shown);
    }
    Py_DECREF(integer);
    return std::nullopt;
  }
  Py_DECREF(integer);
  return static_cast<std::size_t>(capacity);
}

}  // namespace

PyObject* start_recording(PyObject* self, Arguments args) {
  const auto capacity = to_capacity(args[0]);
  if (!capacity) return nullptr;
  core::RecordableControlLoop& loop = control_loop_of(self);
  std::expected<void, core::RecordingFailure> started;
  try {
    // Making a large ring takes a while: other threads run meanwhile.
    started = without_gil([&] { return loop.start_recording(*capacity); });
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (started) return Py_NewRef(Py_None);
  return raise_text(PyExc_RuntimeError, started.error() == core::RecordingFailure::ChannelClosed
                                            ? "channel closed"
                                            : "recording already started");
}

PyObject* stop_recording(PyObject* self) {
  core::RecordableControlLoop& loop = control_loop_of(self);
  without_gil([&] { loop.stop_recording(); });
  return Py_NewRef(Py_None);
}

PyObject* take_recording(PyObject* self) {
  core::RecordableControlLoop& loop = control_loop_of(self);
  const core::TakenRecords taken = without_gil([&] { return loop.take_recording(); });
  PyObject* ticks = PyList_New(0);
  PyObject* commands = PyList_New(0);
  bool made = ticks != nullptr && commands != nullptr;
  for (const CaptureRecord& record : taken.records) {
    if (!made) break;
    made = record.kind == core::CaptureKind::Tick ? append(ticks, tick_tuple(record))
                                                  : append(commands, command_tuple(record));
  }
  if (!made) {
    Py_XDECREF(ticks);
    Py_XDECREF(commands);
    return nullptr;
  }
  return Py_BuildValue("(NNK)", ticks, commands, static_cast<unsigned long long>(taken.dropped));
}

}  // namespace vorlix::bindings
