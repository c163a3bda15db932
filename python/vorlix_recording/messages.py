"""The recording's channels: their topics, JSON schemas, and the messages built from what the
loop captured."""

from __future__ import annotations

import logging
from typing import Any

from vorlix_motor_controller import VorlixTorsoPosition

JOINTS_TOPIC = "/joints"
TIMING_TOPIC = "/loop_timing"
COMMANDS_TOPIC = "/commands"
LOG_TOPIC = "/log"

# In the order of a reading's fields: left arm, right arm, nose, neck.
JOINT_NAMES = ("left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
               "nose_top", "nose_left", "nose_right", "neck_yaw", "neck_pitch", "neck_roll")

Tick = tuple[float, float, float, "VorlixTorsoPosition | str"]
Command = tuple[float, str, dict[str, Any], "str | None", float]

_NULLABLE_TEXT = {"type": ["string", "null"]}

JOINTS_SCHEMA: dict[str, Any] = {
    "title": "vorlix.Joints",
    "description": "One reading of every joint (rad); a failed reading has only its error.",
    "type": "object",
    "properties": {
        **{name: {"type": "number"} for name in JOINT_NAMES},
        "error": _NULLABLE_TEXT,
    },
    "required": ["error"],
}

TIMING_SCHEMA: dict[str, Any] = {
    "title": "vorlix.LoopTiming",
    "description": "One tick of the loop: seconds since the previous tick, seconds spent "
                   "reading, and the records the recorder has lost so far.",
    "type": "object",
    "properties": {
        "period": {"type": "number"},
        "read_dt": {"type": "number"},
        "ok": {"type": "boolean"},
        "dropped": {"type": "integer"},
    },
    "required": ["period", "read_dt", "ok", "dropped"],
}

COMMANDS_SCHEMA: dict[str, Any] = {
    "title": "vorlix.Command",
    "description": "One executed command: its arguments, its outcome, its duration (s).",
    "type": "object",
    "properties": {
        "command": {"type": "string"},
        "arguments": {"type": "object"},
        "ok": {"type": "boolean"},
        "error": _NULLABLE_TEXT,
        "duration": {"type": "number"},
    },
    "required": ["command", "arguments", "ok", "error", "duration"],
}


def nanoseconds(seconds: float) -> int:
    return round(seconds * 1e9)


def joint_values(reading: VorlixTorsoPosition) -> list[float]:
    return [*reading.left_arm, *reading.right_arm, *reading.nose, *reading.neck]


def joints_message(tick: Tick) -> dict[str, Any]:
    reading = tick[3]
    if isinstance(reading, str):
        return {"error": reading}
    return {**dict(zip(JOINT_NAMES, joint_values(reading))), "error": None}


def timing_message(tick: Tick, dropped: int) -> dict[str, Any]:
    return {"period": tick[1], "read_dt": tick[2], "ok": not isinstance(tick[3], str),
            "dropped": dropped}


def command_message(command: Command) -> dict[str, Any]:
    _, name, arguments, error, duration = command
    # Bytes read better in a viewer as a list of numbers.
    plain = {key: list(value) if isinstance(value, bytes) else value
             for key, value in arguments.items()}
    return {"command": name, "arguments": plain, "ok": error is None, "error": error,
            "duration": duration}


def log_level_name(record: logging.LogRecord) -> str:
    """The Foxglove log level that matches a Python record's level."""
    if record.levelno >= logging.CRITICAL:
        return "Fatal"
    if record.levelno >= logging.ERROR:
        return "Error"
    if record.levelno >= logging.WARNING:
        return "Warning"
    if record.levelno >= logging.INFO:
        return "Info"
    return "Debug"
