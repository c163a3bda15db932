"""Three virtual Damiao neck motors on a SocketCAN interface (vcan)."""

import errno
import heapq
import itertools
import math
import select
import socket
import struct
import threading
import time
from collections.abc import Sequence

from .mit_codec import MitLimits
from .neck_motor import VirtualNeckMotor
from .serving import ServedBus

CLASSIC_FRAME = struct.Struct("=IB3x8s")  # struct can_frame
FD_FRAME = struct.Struct("=IBB2x64s")  # struct canfd_frame
SERVICE_ID = 0x7FF  # feedback requests and register access, addressed inside the payload
LATE_REPLY_DELAY = 0.03  # s: well past the controller's 20 ms time-out
UNRELATED_STANDARD_ID = 0x7F0
REBIND_PAUSE = 0.02  # s between two looks for a deleted interface's return

NECK_MOTORS = (  # (can id, limits) of yaw, pitch and roll
    (1, MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)),
    (2, MitLimits(p_max=12.5, v_max=10.0, kp_max=500.0, kd_max=5.0, t_max=28.0)),
    (3, MitLimits(p_max=12.5, v_max=10.0, kp_max=500.0, kd_max=5.0, t_max=28.0)),
)


class VirtualNeck(ServedBus):
    """The neck's CAN bus: yaw, pitch and roll (can and feedback ids 1, 2, 3) on iface.

    Opens the socket and starts serving at construction; `close` (or leaving the `with` block)
    stops. Start positions are multi-turn, in radians.
    """

    def __init__(self, iface: str, start_positions: Sequence[float] = (0.0, 0.0, 0.0)) -> None:
        if len(start_positions) != len(NECK_MOTORS):
            raise ValueError("start_positions needs one position per neck motor (yaw, pitch, roll)")
        super().__init__()
        self.iface = iface
        self._lock = threading.RLock()
        self.motors = [
            VirtualNeckMotor(can_id, limits, start, self._lock)
            for (can_id, limits), start in zip(NECK_MOTORS, start_positions, strict=True)
        ]
        self.unrelated_traffic = False
        # Frames to send, as (due time, order, can id, data); only the serving thread uses it.
        self._outbox: list[tuple[float, int, int, bytes]] = []
        self._order = itertools.count()
        self._socket: socket.socket | None = self._open_socket()
        self._start_serving("virtual-neck")

    def _open_socket(self) -> socket.socket:
        # Errors name the interface: the system's own words name nothing.
        try:
            can_socket = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        except OSError as error:
            raise OSError(error.errno, error.strerror, self.iface) from error
        try:
            # FD frames are heard too, so tests see everything the controller sends.
            can_socket.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
            can_socket.bind((self.iface,))
        except OSError as error:
            can_socket.close()
            raise OSError(error.errno, error.strerror, self.iface) from error
        return can_socket

    frames = property(
        ServedBus._received,
        doc="Every frame received, in order, as (can id, data); an extended id carries "
        "socket.CAN_EFF_FLAG, so Standard 1 and Extended 1 differ.",
    )
    clear_frames = ServedBus._clear_received
    take_frames = ServedBus._take_received
    wait_for_frames = ServedBus._wait_for_received

    def close(self) -> None:
        super().close()
        if self._socket is not None:
            self._socket.close()

    def _poller(self) -> select.poll:
        poller = select.poll()
        if self._socket is not None:
            poller.register(self._socket.fileno(), select.POLLIN)
        poller.register(self._server.wake_fd, select.POLLIN)
        return poller

    def _serve(self) -> None:
        polled: socket.socket | None = None
        poller = self._poller()
        while not self._server.stopping.is_set():
            if self._socket is not polled:
                polled, poller = self._socket, self._poller()
            timeout = None
            if self._outbox:
                timeout = max(0.0, (self._outbox[0][0] - time.monotonic()) * 1000)
            if self._socket is None:
                timeout = min(REBIND_PAUSE * 1000, timeout if timeout is not None else math.inf)
            events = poller.poll(timeout)
            if any(fd == self._server.wake_fd for fd, _ in events):
                return
            if self._socket is None:
                # The motors stay on the wire: they hear the interface once it is back.
                try:
                    self._socket = self._open_socket()
                except OSError:
                    pass
            elif events:
                try:
                    raw = self._socket.recv(FD_FRAME.size)
                except OSError as error:
                    raw = None  # the interface went down: the error is reported once
                    self._lose_socket_if_deleted(error)
                if raw is not None:
                    self._handle(self._receive, raw)
            self._send_due()

    def _lose_socket_if_deleted(self, error: OSError) -> None:
        # A socket bound to a deleted interface stays unbound even once the name is back.
        if self._socket is not None and error.errno in (errno.ENODEV, errno.ENXIO):
            self._socket.close()
            self._socket = None

    def _receive(self, raw: bytes) -> None:
        if len(raw) == CLASSIC_FRAME.size:
            can_id, length, data = CLASSIC_FRAME.unpack(raw)
        else:
            can_id, length, _flags, data = FD_FRAME.unpack(raw)
        data = data[:length]
        if can_id & socket.CAN_EFF_FLAG:
            self._record.append((can_id & (socket.CAN_EFF_FLAG | socket.CAN_EFF_MASK), data))
        else:
            self._record.append((can_id & socket.CAN_SFF_MASK, data))
        # The motors speak classic data frames with standard ids only.
        if len(raw) != CLASSIC_FRAME.size or can_id & (socket.CAN_EFF_FLAG | socket.CAN_RTR_FLAG):
            return
        if can_id == SERVICE_ID:
            if len(data) != 8:
                return
            motor = self._motor(data[0] | data[1] << 8)
        else:
            motor = self._motor(can_id)
        if motor is None or motor.silent:
            return
        now = time.monotonic()
        with self._lock:
            if can_id == SERVICE_ID:
                reply = motor.on_service(data, now)
            else:
                reply = motor.on_command(data, now)
        if reply is not None:
            self._queue_reply(motor, reply, now)

    def _motor(self, can_id: int) -> VirtualNeckMotor | None:
        return next((motor for motor in self.motors if motor.can_id == can_id), None)

    def _queue_reply(self, motor: VirtualNeckMotor, reply: bytes, now: float) -> None:
        due = now + LATE_REPLY_DELAY if motor.late_reply else now
        if self.unrelated_traffic:
            # Other devices talk just before the reply: one on the same number as an
            # extended id, one with a short frame that starts like a register reply.
            self._queue(due, socket.CAN_EFF_FLAG | motor.feedback_id, bytes(8))
            self._queue(due, UNRELATED_STANDARD_ID, b"\x33\x0a\x00\x00")
        self._queue(due, motor.feedback_id, reply)
        self._send_due()

    def _queue(self, due: float, can_id: int, data: bytes) -> None:
        heapq.heappush(self._outbox, (due, next(self._order), can_id, data))

    def _send_due(self) -> None:
        now = time.monotonic()
        while self._outbox and self._outbox[0][0] <= now:
            _, _, can_id, data = heapq.heappop(self._outbox)
            if self._socket is None:
                continue  # the interface is gone: the frame never reaches the bus
            try:
                self._socket.send(CLASSIC_FRAME.pack(can_id, len(data), data))
            except OSError as error:
                # Down or deleted, the interface carries nothing: the frame never reaches the bus.
                self._lose_socket_if_deleted(error)
