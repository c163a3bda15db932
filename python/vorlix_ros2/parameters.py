"""The node's ROS parameters, read once at start: they choose the loop the node opens."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

from rcl_interfaces.msg import ParameterDescriptor
from rclpy.node import Node

MAX_RETRIES = 2**64 - 1


@dataclass(frozen=True)
class Settings:
    serial_port: str | None  # None: a neck-only loop
    can_interface: str
    period_ms: float
    allowed_retries: int
    reply_timeout: float  # seconds


class ParameterError(ValueError):
    pass


# Name, default, description. Typed by our own checks below, so that every bad value is
# refused with the same kind of message.
_DECLARED: tuple[tuple[str, Any, str], ...] = (
    ("serial_port", "", "the servo line, e.g. /dev/ttyUSB0; empty: a neck-only loop"),
    ("can_interface", "can0", "the neck's SocketCAN interface"),
    ("period_ms", 10, "the loop's reading period in milliseconds"),
    ("allowed_retries", 5, "attempts per bus operation"),
    ("reply_timeout_ms", 1000, "how long set_torque and enable_neck wait for the loop's report"),
)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _milliseconds(name: str, value: Any) -> float:
    if not _is_number(value) or not 0 < value < math.inf:
        raise ParameterError(f"{name} must be a positive number of milliseconds (got {value!r})")
    return float(value)


def read_settings(node: Node) -> Settings:
    """Declares the parameters (read-only: the loop is opened once) and checks them."""
    values = {}
    for name, default, description in _DECLARED:
        descriptor = ParameterDescriptor(description=description, read_only=True,
                                         dynamic_typing=True)
        values[name] = node.declare_parameter(name, default, descriptor).value
    serial_port, can_interface = values["serial_port"], values["can_interface"]
    period_ms, retries = values["period_ms"], values["allowed_retries"]
    if serial_port is None:  # `-p serial_port:=` gives no value at all
        serial_port = ""
    if not isinstance(serial_port, str):
        raise ParameterError(f"serial_port must be a path or empty (got {serial_port!r})")
    if not isinstance(can_interface, str) or not can_interface:
        raise ParameterError(f"can_interface must name an interface (got {can_interface!r})")
    period_ms = _milliseconds("period_ms", period_ms)
    if not isinstance(retries, int) or isinstance(retries, bool) or not 1 <= retries <= MAX_RETRIES:
        raise ParameterError(f"allowed_retries must be a whole number from 1 (got {retries!r})")
    reply_timeout_ms = _milliseconds("reply_timeout_ms", values["reply_timeout_ms"])
    return Settings(serial_port or None, can_interface, period_ms, retries,
                    reply_timeout_ms / 1e3)
