// VorlixPyControlLoop's recording methods: start and stop capturing every tick and executed
// command, and take what was captured as plain Python values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "src/bindings/method_table.hpp"
#include "src/control_loop/control_loop_recording.hpp"

namespace vorlix::bindings {

// The loop behind a receiver already checked to be a VorlixPyControlLoop.
control_loop::RecordableControlLoop& control_loop_of(PyObject* self);

inline constexpr const char* kCapacityParameters[] = {"capacity"};
inline constexpr Signature kStartRecording{"VorlixPyControlLoop", "start_recording",
                                           kCapacityParameters, 1};

PyObject* start_recording(PyObject* self, Arguments args);
PyObject* stop_recording(PyObject* self);
PyObject* take_recording(PyObject* self);

inline constexpr char kStartRecordingDoc[] =
    "start_recording($self, capacity)\n--\n\n"
    "Record every tick and every executed command from now on, into a ring of `capacity` "
    "records; records not taken in time are overwritten and counted as dropped.";
inline constexpr char kStopRecordingDoc[] =
    "stop_recording($self)\n--\n\nStop recording; what was recorded stays to be taken.";
inline constexpr char kTakeRecordingDoc[] =
    "take_recording($self)\n--\n\n"
    "Take what was recorded since the last take: (ticks, commands, dropped). A tick is "
    "(timestamp, period, read_dt, reading), the reading a VorlixTorsoPosition or the error's "
    "text; a command is (timestamp, name, arguments, error or None, duration); times in seconds.";

}  // namespace vorlix::bindings
