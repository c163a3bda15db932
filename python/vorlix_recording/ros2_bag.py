"""vorlix-record --ros2: the recording as rosbag2 writes it to MCAP, so that `ros2 bag info`
and `ros2 bag play` take it: every successful reading on /joint_states as CDR
sensor_msgs/msg/JointState, and the log records on /rosout as rcl_interfaces/msg/Log, each
channel with its ros2msg schema and the QoS rosbag2 offers it again on playback."""

from __future__ import annotations

import json
import os
import time
from typing import Any

from mcap.records import Schema
from mcap_ros2.writer import Writer as Ros2McapWriter
from vorlix_motor_controller import VorlixTorsoPosition

from vorlix_recording import messages
from vorlix_recording.output import RecordingOutput
from vorlix_recording.recorder import Recorder

JOINT_STATES_TOPIC = "/joint_states"
ROSOUT_TOPIC = "/rosout"
NECK_JOINTS = messages.JOINT_NAMES[7:]
# Small chunks: a recording cut off (a killed process, a lost machine) reads up to a few
# seconds before its end.
CHUNK_SIZE = 64 * 1024

# The standard definitions, in rosbag2's ros2msg form: the type, then each type it uses.
_SEPARATOR = "=" * 80 + "\n"
_TIME = "int32 sec\nuint32 nanosec\n"
JOINT_STATE_DEFINITION = (
    "std_msgs/Header header\nstring[] name\nfloat64[] position\nfloat64[] velocity\n"
    "float64[] effort\n" + _SEPARATOR + "MSG: std_msgs/Header\n"
    "builtin_interfaces/Time stamp\nstring frame_id\n" + _SEPARATOR
    + "MSG: builtin_interfaces/Time\n" + _TIME)
LOG_DEFINITION = (
    "uint8 DEBUG=10\nuint8 INFO=20\nuint8 WARN=30\nuint8 ERROR=40\nuint8 FATAL=50\n"
    "builtin_interfaces/Time stamp\nuint8 level\nstring name\nstring msg\nstring file\n"
    "string function\nuint32 line\n" + _SEPARATOR + "MSG: builtin_interfaces/Time\n" + _TIME)

# rosbag2 (Jazzy and newer) writes each channel's offered QoS as this YAML; JSON is YAML.
_INFINITE = {"sec": 9223372036, "nsec": 854775807}


def offered_qos(depth: int, durability: str, lifespan: dict[str, int] = _INFINITE) -> str:
    return json.dumps([{
        "history": "keep_last", "depth": depth, "reliability": "reliable",
        "durability": durability, "deadline": _INFINITE, "lifespan": lifespan,
        "liveliness": "automatic", "liveliness_lease_duration": _INFINITE,
        "avoid_ros_namespace_conventions": False}])


# As ros2_control's joint state broadcaster offers it, and as rcl offers /rosout.
JOINT_STATES_QOS = offered_qos(10, "volatile")
ROSOUT_QOS = offered_qos(1000, "transient_local", {"sec": 10, "nsec": 0})

# The Log message's levels, by the name messages.log_level_name gives a record's level.
ROS_LEVELS = {"Debug": 10, "Info": 20, "Warning": 30, "Error": 40, "Fatal": 50}


def stamp(seconds: float) -> dict[str, int]:
    sec, nanosec = divmod(messages.nanoseconds(seconds), 1_000_000_000)
    return {"sec": sec, "nanosec": nanosec}


class BagWriter:
    """The two channels on mcap's ROS 2 writer, which leaves out the QoS metadata: each
    channel is registered here with it before the writer's first message on it."""

    def __init__(self, file: Any) -> None:
        self._writer = Ros2McapWriter(file, chunk_size=CHUNK_SIZE)
        self._joint_states = self._channel(JOINT_STATES_TOPIC, "sensor_msgs/msg/JointState",
                                           JOINT_STATE_DEFINITION, JOINT_STATES_QOS)
        self._rosout = self._channel(ROSOUT_TOPIC, "rcl_interfaces/msg/Log", LOG_DEFINITION,
                                     ROSOUT_QOS)
        self._sequences = {JOINT_STATES_TOPIC: 0, ROSOUT_TOPIC: 0}

    def _channel(self, topic: str, datatype: str, definition: str, qos: str) -> Schema:
        schema = self._writer.register_msgdef(datatype, definition)
        # The writer's own channel table, which it consults before registering one itself.
        self._writer._channel_ids[topic] = self._writer._writer.register_channel(
            topic=topic, message_encoding="cdr", schema_id=schema.id,
            metadata={"offered_qos_profiles": qos})
        return schema

    def _write(self, topic: str, schema: Schema, message: dict[str, Any], when: float) -> None:
        self._sequences[topic] += 1
        self._writer.write_message(topic, schema, message, log_time=messages.nanoseconds(when),
                                   sequence=self._sequences[topic])

    def joint_state(self, names: tuple[str, ...], positions: list[float], when: float) -> None:
        self._write(JOINT_STATES_TOPIC, self._joint_states, {
            "header": {"stamp": stamp(when), "frame_id": ""}, "name": list(names),
            "position": positions, "velocity": [], "effort": []}, when)

    def log(self, when: float, level: int, name: str, text: str, file: str = "",
            function: str = "", line: int = 0) -> None:
        self._write(ROSOUT_TOPIC, self._rosout, {
            "stamp": stamp(when), "level": level, "name": name, "msg": text, "file": file,
            "function": function, "line": line}, when)

    def flush(self) -> None:
        """Nothing to do: each chunk reaches the file once full, and chunks are small."""

    def close(self) -> None:
        self._writer.finish()


class Ros2BagOutput(RecordingOutput):
    """A recording's file as a rosbag2 MCAP bag. Never live."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        super().__init__(path)

    def _open_writer(self) -> None:
        self.writer = BagWriter(self.file)


class Ros2BagRecorder(Recorder):
    """A Recorder whose file is a rosbag2 MCAP bag (`path`, or a Ros2BagOutput opened
    beforehand); `neck_only` for a loop without servos, whose joint states name the neck's
    joints alone. Never live."""

    def __init__(self, loop: Any, path: str | os.PathLike[str] | Ros2BagOutput, *,
                 neck_only: bool, **options: Any) -> None:
        super().__init__(loop, path, **options)
        self._names = NECK_JOINTS if neck_only else messages.JOINT_NAMES
        self._neck_only = neck_only

    def _open_output(self) -> RecordingOutput:
        return Ros2BagOutput(self.path)

    def _positions(self, reading: VorlixTorsoPosition) -> list[float]:
        return reading.neck if self._neck_only else messages.joint_values(reading)

    def _write_pending(self, output: RecordingOutput) -> None:
        writer = output.writer
        ticks, commands, dropped = self._loop.take_recording()
        if dropped:
            self.dropped += dropped
            writer.log(ticks[0][0] if ticks else time.time(), ROS_LEVELS["Warning"],
                       "vorlix_recording", f"{dropped} records dropped: the recorder fell behind")
            output.file.check()
        for _, _, _, reading in ticks:
            self.ticks += 1
            if isinstance(reading, str):
                self.failed_readings += 1
                continue
            writer.joint_state(self._names, self._positions(reading), reading.timestamp)
            output.file.check()
        self.commands += len(commands)
        for record in self._logs.take():
            level = ROS_LEVELS[messages.log_level_name(record)]
            writer.log(record.created, level, record.name, record.getMessage(),
                       record.pathname, record.funcName, record.lineno)
            output.file.check()


__all__ = ["JOINT_STATES_TOPIC", "ROSOUT_TOPIC", "Ros2BagOutput", "Ros2BagRecorder"]
