"""Fixtures shared by the Python tests: the virtual torso, controllers on it, and raw peers on
its two buses."""

import importlib.util
import logging
import os
import select
import socket
import struct
import threading
import tty
from dataclasses import dataclass

import pytest
from vorlix_motor_controller import VorlixMotorController

from vorlix_virtual_torso import VirtualNeck, VirtualServoBus
from vorlix_virtual_torso.serving import serving_first

# ROS 2's PyPI wheels exist for x86_64 and Python 3.11 alone: elsewhere its tests are left out,
# and the header says so.
ROS2_MISSING = importlib.util.find_spec("rclpy") is None
collect_ignore_glob = ["test_ros2_*.py"] if ROS2_MISSING else []


def pytest_report_header() -> list[str]:
    return ["ROS 2 tests left out: rclpy is not installed"] if ROS2_MISSING else []


@pytest.fixture(autouse=True, scope="session")
def module_logs_everything():
    """The bridge samples each logger's level at its first record, for the life of the process:
    set before any test runs, every record reaches caplog whichever test logs first."""
    logging.getLogger("vorlix_motor_controller").setLevel(logging.DEBUG)


@pytest.fixture(scope="session")
def can_iface() -> str:
    """The vcan interface that tools/with-vcan made; the test fails without one."""
    iface = os.environ.get("VORLIX_CAN_IFACE")
    if not iface:
        pytest.fail(
            "VORLIX_CAN_IFACE is not set: this test needs a vcan interface in a real kernel; "
            "run it through tools/with-vcan, e.g. "
            "tools/with-vcan .venv/bin/python -m pytest tests/python",
            pytrace=False,
        )
    return iface


@pytest.fixture
def servo_bus():
    with VirtualServoBus() as bus:
        serving_first()
        yield bus


@pytest.fixture
def neck(can_iface):
    with VirtualNeck(can_iface) as virtual_neck:
        serving_first()
        yield virtual_neck


@dataclass
class Torso:
    servo_bus: VirtualServoBus
    neck: VirtualNeck

    @property
    def serial_path(self) -> str:
        return self.servo_bus.serial_path

    @property
    def can_iface(self) -> str:
        return self.neck.iface


@pytest.fixture
def torso(servo_bus, neck) -> Torso:
    return Torso(servo_bus, neck)


@pytest.fixture
def controller(torso) -> VorlixMotorController:
    """A controller on both buses of the virtual torso. Files whose tests need another
    controller define their own `controller`, which takes precedence."""
    return VorlixMotorController(torso.serial_path, torso.can_iface)


@pytest.fixture
def neck_only_controller(can_iface) -> VorlixMotorController:
    """A controller without a serial port; the neck answers only if the test asks for `neck`."""
    return VorlixMotorController(None, can_iface)


class SerialLine:
    """The controller's end of a servo line, opened raw, for byte-exact exchanges."""

    def __init__(self, path: str) -> None:
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def write(self, data: bytes) -> None:
        os.write(self.fd, data)

    def read(self, count: int, timeout: float = 0.5) -> bytes:
        """Up to count bytes: fewer when the line stays silent for timeout."""
        received = b""
        while len(received) < count:
            readable, _, _ = select.select([self.fd], [], [], timeout)
            if not readable:
                break
            received += os.read(self.fd, count - len(received))
        return received

    def close(self) -> None:
        os.close(self.fd)


@pytest.fixture
def serial_line():
    """Opens SerialLines on paths; closes them after the test."""
    lines = []

    def open_line(path: str) -> SerialLine:
        lines.append(SerialLine(path))
        return lines[-1]

    yield open_line
    for line in lines:
        line.close()


CLASSIC_FRAME = struct.Struct("=IB3x8s")


class CanPeer:
    """A raw classic-CAN socket on the test's interface. Extended ids carry
    socket.CAN_EFF_FLAG, as in VirtualNeck.frames."""

    def __init__(self, iface: str) -> None:
        self.socket = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.socket.bind((iface,))

    def send(self, can_id: int, data: bytes) -> None:
        self.socket.send(CLASSIC_FRAME.pack(can_id, len(data), data))

    def recv(self, timeout: float = 0.5) -> tuple[int, bytes] | None:
        """The next frame, or None when none comes within timeout."""
        self.socket.settimeout(timeout)
        try:
            can_id, length, data = CLASSIC_FRAME.unpack(self.socket.recv(CLASSIC_FRAME.size))
        except TimeoutError:
            return None
        return can_id, data[:length]

    def recv_all(self, quiet: float = 0.1) -> list[tuple[int, bytes]]:
        """Every frame until the bus stays quiet for `quiet` seconds."""
        frames = []
        while (frame := self.recv(quiet)) is not None:
            frames.append(frame)
        return frames

    def close(self) -> None:
        self.socket.close()


@pytest.fixture
def can_peer(can_iface):
    peer = CanPeer(can_iface)
    yield peer
    peer.close()
