"""A soak of the control loop: a loop reading every 5 ms on the virtual torso with wire-time
emulation, four threads posting commands and reading, and a fault injected at random every
few seconds (late reply, noise, absent servo, stalled adapter, silent neck motor, CAN down and
up, the servo line unplugged and plugged back at the same path, the CAN interface deleted and
added again); the run's last fault unplugs the servo line for good.

It reports the ticks, the failed readings and each fault's recovery, whether every posted
command was executed or dropped by its bus's fault, the resident memory per minute with the
statistics' own growth subtracted, and hangs, crashes and leaked descriptors. Exits with 1 when
a check fails.

Run it as benchmarks/soak.sh MINUTES, or next to a vcan interface:

    tools/with-vcan $PWD/.venv/bin/python benchmarks/soak.py MINUTES

The torso runs in a child process (`soak.py --torso`), so its own memory is not counted; the
child applies the faults it is told on stdin and reports the goals and neck set-points its
buses received.
"""

import argparse
import ctypes
import faulthandler
import gc
import json
import logging
import math
import os
import random
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter, deque
from dataclasses import dataclass, field
from datetime import timedelta

from memory import resident

PERIOD = timedelta(milliseconds=5)
STATS_PUBLICATION = timedelta(seconds=1)
STATS_BYTES_PER_TICK = 16  # a period and a read_dt sample
STATS_BYTES_PER_COMMAND = 8  # a write_dt sample
TAKE_EVERY = 0.25  # s: how often the torso reports what its buses received
UNPLUG_BEFORE_END = 10.0  # s
GOAL_POSITION = 42
YAW_CAN_ID = 1
# A posted value and the value its bus carried are the same command within this much; posted
# values differ by more than twice as much.
NECK_MATCH = 0.0005
SERVO_BUS, NECK_BUS = "servo line", "neck"
LATE_REPLY_REACH = 1.0  # s around a late reply in which its bytes may still disturb a write
LATE_REPLY_MEMORY = 120.0  # s: older late replies explain nothing still pending
LOOP_LOGGER = "vorlix_motor_controller.control_loop"


# --- the torso's side, in the child process ----------------------------------------------------


def torso_child(can_iface: str, serial_link: str) -> int:
    from vorlix_virtual_torso import VirtualNeck, VirtualServoBus
    from vorlix_virtual_torso.feetech_packets import SYNC_WRITE, parse_instruction
    from vorlix_virtual_torso.mit_codec import decode_command
    from vorlix_virtual_torso.neck_motor import SPECIAL_PREFIX

    def link(state: str):
        return lambda: subprocess.run(["ip", "link", "set", can_iface, state], check=True)

    def delete_interface():
        subprocess.run(["ip", "link", "del", can_iface], check=True)

    def add_interface():
        subprocess.run(["ip", "link", "add", "dev", can_iface, "type", "vcan"], check=True)
        link("up")()

    def switch(target, name, on, off):
        return (lambda: setattr(target, name, on), lambda: setattr(target, name, off))

    def goals(requests):
        """(first servo id, its goal) of every goal-position sync write."""
        for packet in requests:
            instruction = parse_instruction(packet)
            if instruction is None or instruction.code != SYNC_WRITE:
                continue
            params = instruction.params
            if len(params) >= 5 and params[0] == GOAL_POSITION and params[1] == 2:
                yield params[2], int.from_bytes(params[3:5], "little", signed=True)

    with (VirtualServoBus(wire_time=True, link_path=serial_link) as bus,
          VirtualNeck(can_iface) as neck):
        faults = {
            "late reply": switch(bus.servos[2], "reply_delay", 0.05, 0.0),
            "noise": switch(bus.servos[1], "noise", b"\x00\x00", b""),
            "absent servo": switch(bus.servos[3], "absent", True, False),
            "stalled adapter": switch(bus, "stalled", True, False),
            "silent neck motor": switch(neck.motors[1], "silent", True, False),
            "CAN down and up": (link("down"), link("up")),
            "unplugged and back": (bus.unplug, bus.replug),
            "CAN interface re-created": (delete_interface, add_interface),
            "unplugged servo line": (bus.unplug, None),
        }
        yaw_limits = neck.motors[0].limits
        print(json.dumps({"serial": bus.serial_path}), flush=True)
        for line in sys.stdin:
            order = json.loads(line)
            reply: dict = {}
            if order["op"] == "inject":
                faults[order["fault"]][0]()
            elif order["op"] == "clear":
                faults[order["fault"]][1]()
            elif order["op"] == "take":
                now = time.monotonic()
                received = list(goals(bus.take_requests()))
                reply = {
                    "at": now,
                    "arms": [goal for servo, goal in received if servo == 1],
                    "nose": [goal for servo, goal in received if servo == 5],
                    "yaw": [decode_command(yaw_limits, data).position
                            for can_id, data in neck.take_frames()
                            if can_id == YAW_CAN_ID and data[:7] != SPECIAL_PREFIX],
                }
            print(json.dumps(reply), flush=True)
    return 0


class Torso:
    """The parent's handle on the torso child."""

    def __init__(self, can_iface: str, serial_link: str, stderr) -> None:
        self._process = subprocess.Popen(
            [sys.executable, __file__, "--torso", can_iface, serial_link],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr, text=True)
        self.serial_path = self._read()["serial"]
        self._lock = threading.Lock()

    def _read(self) -> dict:
        line = self._process.stdout.readline()
        if not line:
            raise SystemExit("the virtual torso ended")
        return json.loads(line)

    def order(self, op: str, **arguments) -> dict:
        with self._lock:
            self._process.stdin.write(json.dumps({"op": op, **arguments}) + "\n")
            self._process.stdin.flush()
            return self._read()

    def alive(self) -> bool:
        return self._process.poll() is None

    def stop(self) -> None:
        self._process.stdin.close()
        self._process.wait(10)


# --- what the loop was asked to do and what reached the buses ----------------------------------


@dataclass
class FaultWindow:
    name: str
    bus: str
    late: float
    start: float  # monotonic
    end: float = math.inf  # monotonic, when cleared, plus its late bytes
    failed_samples_before: int = 0
    back: float | None = None  # monotonic, when the loop said it had reopened the bus

    def until(self) -> float:
        """The bus is in trouble until the fault cleared, or the loop had reopened it."""
        return self.end if self.back is None else max(self.end, self.back + WINDOW_SLACK)


class BusTrouble:
    """When the buses were in trouble: the injected faults, and the spells in which replies
    came late without one (a reading failed, or needed a retry) on a host too busy to answer
    in time. Late bytes make the next write's drain give up, so a command may be dropped."""

    def __init__(self, recovery: float) -> None:
        self.recovery = recovery
        self.windows: list[FaultWindow] = []  # only the main thread adds to it
        self.failing_spells = 0
        self.spells_outside_faults = 0
        # Reported by the reader and the loop's worker, read by the main thread.
        self._late_replies: deque[tuple[float, float]] = deque()  # monotonic (first, last)
        self._lock = threading.Lock()

    def late_reply(self, first: float, last: float) -> None:
        with self._lock:
            self._late_replies.append((first, last))
            while self._late_replies and self._late_replies[0][1] < last - LATE_REPLY_MEMORY:
                self._late_replies.popleft()

    def readings_failed(self, first: float, last: float) -> None:
        """A spell of failed readings, from its first failed sample to its first good one."""
        self.failing_spells += 1
        if not any(w.start <= last and first <= w.end + self.recovery for w in self.windows):
            self.spells_outside_faults += 1
        self.late_reply(first, last)

    def bus_back(self, bus: str, at: float) -> None:
        """The loop reopened bus: what was queued before was dropped, and while the loop was
        still reopening it (past the fault's clearing) its commands failed."""
        with self._lock:
            window = next((w for w in reversed(self.windows) if w.bus == bus and w.start <= at),
                          None)
            if window is not None:
                window.back = at

    def explain(self, bus: str, after: float, before: float) -> str | None:
        """Why a command on bus may have been dropped between after and before."""
        with self._lock:
            windows = [(w.bus, w.start, w.until()) for w in self.windows]
        if any(b == bus and start <= before and after <= end for b, start, end in windows):
            return "fault"
        with self._lock:
            late = any(first - LATE_REPLY_REACH <= before and after <= last + LATE_REPLY_REACH
                       for first, last in self._late_replies)
        return "late reply" if late and bus == SERVO_BUS else None


class RetryLog(logging.Handler):
    """Hands the loop's records of a reading that needed retries, and of a bus it reopened,
    to BusTrouble."""

    def __init__(self, trouble: BusTrouble) -> None:
        super().__init__()
        self._trouble = trouble

    def emit(self, record: logging.LogRecord) -> None:
        message, now = record.getMessage(), time.monotonic()
        if message.startswith("Serial I/O recovered after"):
            self._trouble.late_reply(now, now)
        elif " is back after " in message:
            self._trouble.bus_back(SERVO_BUS if message.startswith("Servo line") else NECK_BUS,
                                   now)


@dataclass
class CommandStream:
    """Commands posted from one thread to one target, matched in order against what the bus
    received. A command that never arrived was dropped by the buses' trouble if there was some
    between the arrivals around it; otherwise it was lost."""

    bus: str
    same: object  # (posted value, received value) -> bool
    pending: deque = field(default_factory=deque)
    executed: int = 0
    dropped: Counter = field(default_factory=Counter)  # by reason
    lost: int = 0
    unexpected: int = 0
    lost_between: list = field(default_factory=list)  # (after, before) of each lost command
    _last_arrival: float = 0.0

    def post(self, value) -> None:
        self.pending.append(value)

    def arrived(self, values, at: float, trouble: BusTrouble) -> None:
        for value in values:
            while self.pending and not self.same(self.pending[0], value):
                self.pending.popleft()
                self._missing(at, trouble)
            if not self.pending:
                self.unexpected += 1
                continue
            self.pending.popleft()
            self.executed += 1
            self._last_arrival = at

    def finish(self, at: float, trouble: BusTrouble) -> None:
        while self.pending:
            self.pending.popleft()
            self._missing(at, trouble)

    def _missing(self, before: float, trouble: BusTrouble) -> None:
        # Arrivals are stamped when taken: the last one may have come a take earlier.
        after = self._last_arrival - TAKE_EVERY
        reason = trouble.explain(self.bus, after, before)
        if reason is None:
            self.lost += 1
            self.lost_between.append((after, before))
        else:
            self.dropped[reason] += 1


def servo_goal(radians: float) -> float:
    """The goal in counts before truncation: the bus carries the count below it."""
    return (radians + math.pi) * 4096 / (2 * math.pi)


def same_goal(posted: float, carried: int) -> bool:
    # Posted goals lie more than a count apart; the margin absorbs a last-bit difference.
    return posted - 1 - 1e-6 <= carried <= posted + 1e-6


# --- the four threads ---------------------------------------------------------------------------


class Readings:
    """The reader thread's view of the loop's last reading, sampled every 2 ms."""

    def __init__(self) -> None:
        self.samples = 0
        self.failed_samples = 0
        self.fresh = 0  # readings seen, by their timestamps
        self.newest = 0.0  # wall-clock timestamp of the newest good reading
        self.failing_since: float | None = None  # monotonic


def reader(loop, readings: Readings, trouble: BusTrouble, stop: threading.Event) -> None:
    while not stop.wait(0.002):
        readings.samples += 1
        try:
            position = loop.get_last_position()
        except RuntimeError:
            readings.failed_samples += 1
            if readings.failing_since is None:
                readings.failing_since = time.monotonic()
            continue
        if readings.failing_since is not None:
            trouble.readings_failed(readings.failing_since, time.monotonic())
            readings.failing_since = None
        if position.timestamp > readings.newest:
            readings.newest = position.timestamp
            readings.fresh += 1
        if readings.samples % 100 == 0:
            try:
                loop.is_torque_enabled()
            except RuntimeError:
                pass


def neck_poster(loop, stream: CommandStream, stop: threading.Event, every: float) -> None:
    k = 0
    while not stop.wait(every):
        value = -0.3 + (k % 600) * 0.001
        stream.post(value)  # before posting: the bus may carry it before post returns
        loop.set_neck_yaw_position(value)
        k += 1


def nose_poster(loop, stream: CommandStream, stop: threading.Event, every: float) -> None:
    k = 0
    while not stop.wait(every):
        value = -0.5 + (k % 500) * 0.002
        stream.post(servo_goal(value))
        loop.set_nose_position([value, value, value])
        k += 1


@dataclass
class Requests:
    answered: int = 0
    failed: int = 0


def arms_poster(
    loop, stream: CommandStream, requests: Requests, stop: threading.Event, every: float
) -> None:
    """Arm goals, torque switches and raw reads that wait for their answer."""
    k = 0
    while not stop.wait(every):
        value = -0.5 + (k % 500) * 0.002
        stream.post(servo_goal(value))
        loop.set_arms_position([value] * 4)
        if k % 10 == 0:
            (loop.enable_torque if k % 20 == 0 else loop.disable_torque)()
            try:
                loop.async_read_raw_bytes(1 + k % 7, 56, 2)
                requests.answered += 1
            except RuntimeError:
                requests.failed += 1
        k += 1


# --- the run ------------------------------------------------------------------------------------


FAULTS = {  # name: (bus, late bytes in s)
    "late reply": (SERVO_BUS, 0.05),
    "noise": (SERVO_BUS, 0.0),
    "absent servo": (SERVO_BUS, 0.02),
    "stalled adapter": (SERVO_BUS, 0.0),
    "silent neck motor": (NECK_BUS, 0.0),
    "CAN down and up": (NECK_BUS, 0.0),
    # The worker's reopening every 200 ms, and the servos' pings, follow the return.
    "unplugged and back": (SERVO_BUS, 0.3),
    "CAN interface re-created": (NECK_BUS, 0.3),
}
UNPLUG = "unplugged servo line"
FAULT_GAP = (2.0, 5.0)  # s of health between two faults
FAULT_LENGTH = (0.5, 2.0)  # s
WINDOW_SLACK = 0.5  # s past a fault's late bytes in which a command may still be dropped


class FaultSchedule:
    """Injects a random fault every few seconds, then unplugs the servo line shortly before
    the end; checks that the readings fail under each fault and recover once it cleared."""

    def __init__(self, torso: Torso, readings: Readings, trouble: BusTrouble,
                 rng: random.Random, unplug_at: float) -> None:
        self.torso, self.readings, self.rng = torso, readings, rng
        self.unplug_at, self.recovery = unplug_at, trouble.recovery
        self.windows = trouble.windows
        self.outcome = {name: Counter() for name in [*FAULTS, UNPLUG]}
        self.recovery_times: dict[str, list[float]] = {name: [] for name in FAULTS}
        self.failures: list[str] = []
        self._active: FaultWindow | None = None
        self._next = time.monotonic() + rng.uniform(*FAULT_GAP)
        self._clear_at = 0.0
        self._awaiting_recovery: list[tuple[FaultWindow, float, float]] = []  # wall, deadline

    def step(self, now: float) -> None:
        if self._active is not None:
            if now >= self._clear_at:
                self._clear(now)
        elif self.unplug_at <= now and not self._unplugged():
            self._inject(UNPLUG, now)
        elif self._next <= now < self.unplug_at - FAULT_LENGTH[1] - self.recovery:
            self._inject(self.rng.choice(list(FAULTS)), now)
            self._clear_at = now + self.rng.uniform(*FAULT_LENGTH)
        for awaited in list(self._awaiting_recovery):
            window, cleared_wall, deadline = awaited
            if self.readings.newest > cleared_wall:
                self.outcome[window.name]["recovered"] += 1
                # The newest reading, sampled every 2 ms: the first good one, or just after it.
                self.recovery_times[window.name].append(
                    self.readings.newest - (cleared_wall - window.late))
                self._awaiting_recovery.remove(awaited)
            elif time.monotonic() > deadline:
                self.failures.append(f"no good reading within {self.recovery} s after "
                                     f"{window.name} cleared")
                self._awaiting_recovery.remove(awaited)

    def finish(self) -> None:
        """At the end of the run, with the servo line unplugged: the readings fail."""
        if not self._unplugged():
            return
        if self.readings.failing_since is not None:
            self.outcome[UNPLUG]["showed"] += 1
        else:
            self.failures.append("readings did not fail with the servo line unplugged")

    def _unplugged(self) -> bool:
        return bool(self.windows) and self.windows[-1].name == UNPLUG

    def _inject(self, name: str, now: float) -> None:
        bus, late = FAULTS.get(name, (SERVO_BUS, 0.0))
        self._active = FaultWindow(name, bus, late, now, math.inf, self.readings.failed_samples)
        self.windows.append(self._active)
        self.torso.order("inject", fault=name)
        self.outcome[name]["injected"] += 1
        if name == UNPLUG:
            self._active = None  # for good

    def _clear(self, now: float) -> None:
        window = self._active
        if self.readings.failed_samples > window.failed_samples_before:
            self.outcome[window.name]["showed"] += 1
        self.torso.order("clear", fault=window.name)
        window.end = time.monotonic() + window.late + WINDOW_SLACK
        self._awaiting_recovery.append((window, time.time() + window.late,
                                        time.monotonic() + window.late + self.recovery))
        self._active, self._next = None, now + self.rng.uniform(*FAULT_GAP)


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_in_use() -> int:
    """Bytes that C code holds from malloc, in every arena, mapped chunks included: a leak of
    the extension shows here, while memory the allocator keeps after a free does not."""
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


class MemoryLog:
    """Resident memory and the C heap in use once a minute, with the statistics' own growth
    subtracted."""

    def __init__(self, loop) -> None:
        self._loop = loop
        # resident, C heap in use, the interpreter's allocated blocks, ticks, completed commands
        self.samples: list[tuple[int, int, int, int, int]] = []

    def sample(self) -> None:
        # Before the copy of the statistics.
        rss, heap, blocks = resident(), heap_in_use(), sys.getallocatedblocks()
        stats = self._loop.get_stats()
        self.samples.append((rss, heap, blocks, len(stats.period), len(stats.write_dt)))

    def growth(self, first: int, last: int) -> tuple[int, int, int]:
        """(resident bytes and C heap bytes, each with the statistics' growth subtracted;
        allocated blocks)."""
        (rss0, heap0, blocks0, ticks0, commands0) = self.samples[first]
        (rss, heap, blocks, ticks, commands) = self.samples[last]
        stats = (STATS_BYTES_PER_TICK * (ticks - ticks0)
                 + STATS_BYTES_PER_COMMAND * (commands - commands0))
        return (rss - rss0) - stats, (heap - heap0) - stats, blocks - blocks0


def descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def bounded_close(loop, seconds: float) -> float | None:
    """The time close took, or None when it did not return within seconds."""
    closing = threading.Thread(target=loop.close)
    started = time.monotonic()
    closing.start()
    closing.join(seconds)
    return None if closing.is_alive() else time.monotonic() - started


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("minutes", type=float)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--recovery", type=float, default=3.0,
                        help="s after a fault cleared within which a good reading must come")
    parser.add_argument("--every", type=float, default=0.2,
                        help="s between two posts of each posting thread")
    parser.add_argument("--max-growth", type=float, default=512.0,
                        help="KiB per minute of resident growth, statistics subtracted, past "
                             "the first minute")
    args = parser.parse_args()
    can_iface = os.environ.get("VORLIX_CAN_IFACE") or sys.exit("run through tools/with-vcan")
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    duration = args.minutes * 60
    faulthandler.dump_traceback_later(duration + 120, exit=True)  # a hang ends the run

    from vorlix_motor_controller import VorlixPyControlLoop

    print(f"soak: {args.minutes:g} min, 5 ms period, wire time, seed {seed}", flush=True)
    stderr = tempfile.TemporaryFile(mode="w+")
    link_folder = tempfile.TemporaryDirectory()
    torso = Torso(can_iface, os.path.join(link_folder.name, "ttyUSB0"), stderr)
    fds_before = descriptors()
    trouble = BusTrouble(args.recovery)
    retry_log = RetryLog(trouble)
    # Set before the loop logs its first record: the loop samples the level then.
    logging.getLogger(LOOP_LOGGER).setLevel(logging.INFO)
    logging.getLogger(LOOP_LOGGER).addHandler(retry_log)
    loop = VorlixPyControlLoop(torso.serial_path, PERIOD, can_iface,
                               stats_pub_period=STATS_PUBLICATION)
    loop.enable_neck(True)
    streams = {
        "neck yaw": CommandStream(NECK_BUS, lambda a, b: abs(a - b) <= NECK_MATCH),
        "nose": CommandStream(SERVO_BUS, same_goal),
        "arms": CommandStream(SERVO_BUS, same_goal),
    }
    readings, requests, stop = Readings(), Requests(), threading.Event()
    threads = [
        threading.Thread(target=reader, args=(loop, readings, trouble, stop)),
        threading.Thread(target=neck_poster, args=(loop, streams["neck yaw"], stop, args.every)),
        threading.Thread(target=nose_poster, args=(loop, streams["nose"], stop, args.every)),
        threading.Thread(target=arms_poster,
                         args=(loop, streams["arms"], requests, stop, args.every)),
    ]
    for thread in threads:
        thread.start()

    started = time.monotonic()
    schedule = FaultSchedule(torso, readings, trouble, random.Random(seed),
                             started + duration - UNPLUG_BEFORE_END)
    memory = MemoryLog(loop)
    memory.sample()

    def take() -> None:
        received = torso.order("take")
        for name in ("neck yaw", "nose", "arms"):
            streams[name].arrived(received[name.split()[-1]], received["at"], trouble)

    next_take = started
    while (now := time.monotonic()) < started + duration:
        schedule.step(now)
        if now >= next_take:
            take()
            next_take = now + TAKE_EVERY
        if now - started >= 60 * len(memory.samples):
            memory.sample()
        time.sleep(0.01)
    memory.sample()
    schedule.finish()
    failures = schedule.failures

    stop.set()
    for thread in threads:
        thread.join(5)
        if thread.is_alive():
            failures.append(f"{thread.name} hangs")
    stats = loop.get_stats()
    ticks, commands = len(stats.period), len(stats.write_dt)
    del stats
    close_time = bounded_close(loop, 10.0)
    if close_time is None:
        failures.append("close hangs")
    take()
    for stream in streams.values():
        stream.finish(time.monotonic(), trouble)
    del loop
    gc.collect()
    fds_after = descriptors()
    if fds_after != fds_before:
        failures.append(f"descriptors: {fds_before} before the loop, {fds_after} after")
    if not torso.alive():
        failures.append("the virtual torso crashed")
    torso.stop()
    stderr.seek(0)
    torso_errors = [line for line in stderr if "failed to handle" in line]
    if torso_errors:
        failures.append(f"the virtual torso failed to handle {len(torso_errors)} requests")

    elapsed = time.monotonic() - started
    print(f"ticks: {ticks} in {elapsed:.0f} s ({ticks / elapsed:.1f}/s, "
          f"{1 / PERIOD.total_seconds():.0f}/s due)")
    print(f"readings: {readings.fresh} fresh ones seen, {readings.failed_samples} of "
          f"{readings.samples} samples failed (reader every 2 ms)")
    print(f"failing spells: {trouble.failing_spells} ended, {trouble.spells_outside_faults} of "
          "them outside the faults (a host too busy for a reply's time-out)")
    print("faults: injected / showed in the readings / readings recovered after clearing / "
          "first good reading after clearing, mean and longest")
    for name, counts in schedule.outcome.items():
        times = schedule.recovery_times.get(name) or [math.nan]
        print(f"  {name:24} {counts['injected']:3} / {counts['showed']:3} / "
              f"{counts['recovered'] if name != UNPLUG else '-':>3}"
              + (f" / {1000 * sum(times) / len(times):5.0f} ms, {1000 * max(times):5.0f} ms"
                 if name != UNPLUG else ""))
    print(f"requests with an answer: {requests.answered} answered, {requests.failed} failed")
    print("commands: executed / dropped under a fault / dropped after a late reply without one "
          "/ lost / unexpected")
    for name, stream in streams.items():
        print(f"  {name:9} {stream.executed:6} / {stream.dropped['fault']:5} / "
              f"{stream.dropped['late reply']:5} / {stream.lost} / {stream.unexpected}")
        for after, before in stream.lost_between:
            last = next((w for w in reversed(trouble.windows) if w.start <= before), None)
            near = "" if last is None else (
                f" (last fault before it: {last.name} from {last.start - started:.2f} s, "
                f"its bus in trouble until {last.until() - started:.2f} s)")
            print(f"    lost between {after - started:.2f} s and {before - started:.2f} s{near}")
        if stream.lost or stream.unexpected:
            failures.append(f"{name}: {stream.lost} commands lost, {stream.unexpected} "
                            "unexpected on the bus")
    print(f"commands completed by the worker: {commands}")
    print("resident memory and C heap in use, statistics growth subtracted (16 B a tick, 8 B a "
          "command):")
    for minute in range(1, len(memory.samples)):
        growth, heap, blocks = memory.growth(minute - 1, minute)
        print(f"  minute {minute:3}: {memory.samples[minute][0] / 2**20:8.1f} MiB, "
              f"{growth / 1024:+8.0f} KiB resident, {heap / 1024:+8.0f} KiB heap, "
              f"{blocks:+7} Python blocks")
    if len(memory.samples) > 2:
        last = len(memory.samples) - 1
        per_minute, heap_per_minute, _ = (
            value / 1024 / (last - 1) for value in memory.growth(1, last))
        print(f"  past the first minute: {per_minute:+.0f} KiB resident and "
              f"{heap_per_minute:+.0f} KiB heap a minute")
        if per_minute > args.max_growth:
            failures.append(f"resident memory grows {per_minute:.0f} KiB a minute")
    closed = "hangs" if close_time is None else f"{close_time * 1000:.0f} ms"
    print(f"close: {closed}; descriptors {fds_before} before the loop, {fds_after} after")
    for failure in failures:
        print(f"FAILED: {failure}")
    print("soak: " + ("FAILED" if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--torso"]:
        sys.exit(torso_child(sys.argv[2], sys.argv[3]))
    sys.exit(main())
