"""Seven virtual Feetech servos answering on the master side of a pty."""

import os
import select
import threading
import time
import tty

from .feetech_packets import (
    BROADCAST_ID,
    SYNC_READ,
    SYNC_WRITE,
    Instruction,
    PacketFramer,
    parse_instruction,
)
from .serving import ServedBus
from .servo import VirtualServo

# The arms' SM40BLs (1 to 4) and the nose's STS3025BLs (5 to 7) share every register simulated.
SERVO_IDS = range(1, 8)
BYTE_TIME = 10e-6  # one byte, 10 bits with start and stop, at 1 Mbaud
PACKET_GAP = 0.02  # an unfinished packet followed by this much silence is dropped
DEFAULT_REBOOT_SILENCE = 0.05
# In a sync read each servo answers after the one before it; when that one stays silent, the
# next waits this long before taking its turn: longer than the controller's 10 ms time-out,
# so the controller sees the silence and the later answers arrive late.
MISSING_ANSWER_WAIT = 0.02
DEFAULT_VOLTAGE = 120  # tenths of a volt: a steady 12 V supply


class VirtualServoBus(ServedBus):
    """The servo line of the torso; give `serial_path` to the controller.

    Opens the pty and starts serving at construction; `close` (or leaving the `with` block)
    stops. `wire_time` adds the time the bytes would take on a real 1 Mbaud line. With
    `link_path`, `serial_path` is that symbolic link to the pty, as udev names an adapter: it
    goes with an unplug and comes back, to the new pty, when the adapter is plugged in again.
    """

    def __init__(self, wire_time: bool = False, link_path: str | None = None) -> None:
        super().__init__()
        self.link_path = link_path
        # Set when a timed unplug has plugged the adapter back (monotonic time).
        self.plugged_back_at: float | None = None
        self._replug_timer: threading.Timer | None = None
        self.wire_time = wire_time
        self.reboot_silence = DEFAULT_REBOOT_SILENCE
        self._lock = threading.RLock()
        self.servos = {i: VirtualServo(i, self._lock) for i in SERVO_IDS}
        self._ramp = (time.monotonic(), DEFAULT_VOLTAGE, DEFAULT_VOLTAGE, 0.0)
        # The adapter's output: replies held while it is stalled, and the lock that keeps a
        # burst and the serving thread's writes in order.
        self._output_lock = threading.Lock()
        self._stalled = False
        self._held = bytearray()
        self._master = self._slave = -1
        self._plug_in()

    def _plug_in(self) -> None:
        self._master, self._slave = os.openpty()
        # Raw at once: with the pty's default echo, every request would come back to the
        # controller as if a servo had sent it.
        tty.setraw(self._slave)
        # The slave stays open here, so the master sees no hang-up while no controller has
        # the line open.
        self.serial_path = os.ttyname(self._slave)
        if self.link_path is not None:
            # Replaced in one step: an opener never finds the name pointing nowhere.
            temporary = f"{self.link_path}.new"
            os.symlink(self.serial_path, temporary)
            os.replace(temporary, self.link_path)
            self.serial_path = self.link_path
        # A line nobody reads loses bytes rather than blocking the serving thread.
        os.set_blocking(self._master, False)
        self._start_serving("virtual-servo-bus")

    requests = property(
        ServedBus._received,
        doc="Every instruction packet received, in order (corrupted ones included).",
    )
    clear_requests = ServedBus._clear_received
    take_requests = ServedBus._take_received
    wait_for_requests = ServedBus._wait_for_received

    def voltage_ramp(self, start: int, target: int, seconds: float) -> None:
        """From now, every servo's present voltage goes linearly from start to target."""
        if not (0 <= start <= 255 and 0 <= target <= 255) or seconds < 0:
            raise ValueError("voltages must be 0..255 tenths of a volt and seconds not negative")
        with self._lock:
            self._ramp = (time.monotonic(), start, target, seconds)

    @property
    def stalled(self) -> bool:
        """While set, the adapter holds every reply; clearing it delivers them all in one
        burst, as a USB adapter that stops forwarding and then catches up."""
        return self._stalled

    @stalled.setter
    def stalled(self, stall: bool) -> None:
        with self._output_lock:
            self._stalled = stall
            if not stall and self._held:
                held, self._held = bytes(self._held), bytearray()
                self._write(held)

    def unplug(self, back_after: float | None = None) -> None:
        """Closes the master, as when the USB adapter is pulled out; the bus stops serving and
        the link, if any, goes. With `back_after` (s), `replug` follows on its own then."""
        self._cancel_replug()
        self._server.stop()
        if self._master >= 0:
            os.close(self._master)
            self._master = -1
        if self.link_path is not None and os.path.lexists(self.link_path):
            os.unlink(self.link_path)
        if back_after is not None:
            self.plugged_back_at = None
            self._replug_timer = threading.Timer(back_after, self._plug_back)
            self._replug_timer.start()

    def replug(self) -> None:
        """Plugs the adapter in again, as a new device: a new pty, with the servos as they
        were. A controller still holding the old one stays cut off; without a link,
        `serial_path` changes too."""
        self._cancel_replug()
        self._unplug_and_plug_in()

    def _unplug_and_plug_in(self) -> None:
        self.unplug()
        if self._slave >= 0:
            os.close(self._slave)
        with self._output_lock:
            self._held.clear()
        self._plug_in()

    def _plug_back(self) -> None:
        self._unplug_and_plug_in()
        self.plugged_back_at = time.monotonic()

    def _cancel_replug(self) -> None:
        # Not from the timer's own thread, which is past its wait and cannot be joined there.
        timer, self._replug_timer = self._replug_timer, None
        if timer is not None and timer is not threading.current_thread():
            timer.cancel()
            timer.join()

    def close(self) -> None:
        self.unplug()
        if self._slave >= 0:
            os.close(self._slave)
            self._slave = -1

    def _serve(self) -> None:
        framer = PacketFramer()
        poller = select.poll()
        poller.register(self._master, select.POLLIN)
        poller.register(self._server.wake_fd, select.POLLIN)
        while not self._server.stopping.is_set():
            events = poller.poll(PACKET_GAP * 1000 if framer.pending else None)
            if not events:
                framer.drop_pending()
                continue
            if any(fd == self._server.wake_fd for fd, _ in events):
                return
            try:
                data = os.read(self._master, 4096)
            except BlockingIOError:
                continue
            for packet in framer.feed(data):
                self._handle(self._receive, packet)

    def _receive(self, packet: bytes) -> None:
        self._record.append(packet)
        # When each reply is due, on an absolute schedule so that one late wake-up does not
        # add to the next.
        due = time.monotonic() + self._wire_time(len(packet))
        instruction = parse_instruction(packet)
        if instruction is None:
            return
        # Replies that follow one another without a pause go out together, as an adapter
        # forwards a burst in one transfer: one wake-up for the group, not one per servo.
        burst = bytearray()
        for servo, data, wait in self._execute(instruction):
            with self._lock:
                reply = servo.status(data)
            if (wait or servo.reply_delay) and burst:
                if not self._send_when_due(due, burst):
                    return
                burst = bytearray()
            due += wait + servo.reply_delay + self._wire_time(len(reply))
            burst += reply
        if burst:
            self._send_when_due(due, burst)

    def _send_when_due(self, due: float, replies: bytearray) -> bool:
        """Writes `replies` once `due` has come; False when the bus stops meanwhile."""
        remaining = due - time.monotonic()
        if remaining > 0 and self._server.stopping.wait(remaining):
            return False
        with self._output_lock:
            if self._stalled:
                self._held += replies
            else:
                self._write(bytes(replies))
        return True

    def _execute(self, instruction: Instruction) -> list[tuple[VirtualServo, bytes, float]]:
        """Applies the instruction; returns the answers due, in the order they are sent, each
        with the time it waits for missing answers before it."""
        now = time.monotonic()
        servo: VirtualServo | None
        with self._lock:
            voltage = self._voltage(now)
            for servo in self.servos.values():
                servo.advance(now)
                servo.set_voltage(voltage)
            if instruction.id == BROADCAST_ID:
                if instruction.code == SYNC_READ:
                    return self._sync_read(instruction.params, now)
                if instruction.code == SYNC_WRITE:
                    self._sync_write(instruction.params, now)
                    return []
                # Every servo acts on a broadcast and none answers it.
                for servo in self.servos.values():
                    if servo.listening(now):
                        servo.execute(instruction, now, self.reboot_silence)
                return []
            servo = self.servos.get(instruction.id)
            if servo is None or not servo.listening(now):
                return []
            data = servo.execute(instruction, now, self.reboot_silence)
            return [] if data is None else [(servo, data, 0.0)]

    def _sync_read(self, params: bytes, now: float) -> list[tuple[VirtualServo, bytes, float]]:
        if len(params) < 2:
            return []
        address, count = params[0], params[1]
        answers: list[tuple[VirtualServo, bytes, float]] = []
        wait = 0.0
        for servo_id in params[2:]:
            servo = self.servos.get(servo_id)
            data = servo.read(address, count) if servo and servo.listening(now) else None
            if servo is None or data is None:
                wait += MISSING_ANSWER_WAIT
            else:
                answers.append((servo, data, wait))
                wait = 0.0
        return answers

    def _sync_write(self, params: bytes, now: float) -> None:
        if len(params) < 2:
            return
        address, group_size, groups = params[0], params[1] + 1, params[2:]
        if not groups or len(groups) % group_size:
            return  # malformed: a servo cannot tell where its data is
        for start in range(0, len(groups), group_size):
            servo = self.servos.get(groups[start])
            if servo is not None and servo.listening(now):
                servo.write(address, groups[start + 1 : start + group_size], now)

    def _write(self, data: bytes) -> None:
        try:
            os.write(self._master, data)
        except BlockingIOError:
            pass  # nobody reads the line and its buffer is full: the bytes are lost

    def _voltage(self, now: float) -> int:
        started, start, target, seconds = self._ramp
        progress = 1.0 if seconds == 0 else min(1.0, (now - started) / seconds)
        return round(start + (target - start) * progress)

    def _wire_time(self, byte_count: int) -> float:
        return byte_count * BYTE_TIME if self.wire_time else 0.0
