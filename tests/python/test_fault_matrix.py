"""Every fault the virtual torso can inject, against the direct controller and the control loop:
the exact error, how long it takes to show (never a hang), recovery once the fault clears, and
for the loop a prompt close that still carries out the commands queued before the fault.

Bounds leave room for a busy single-CPU guest; the fault's own time (a 200 ms late reply, a
400 ms voltage wait) is added where it applies."""

import logging
import subprocess
import threading
import time
from collections.abc import Callable
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import timedelta

import pytest
from vorlix_motor_controller import VorlixMotorController, VorlixPyControlLoop

from loop_support import COMMUNICATION, PERIOD, wait_until
from neck_traffic import LOGGER as CONTROLLER_LOGGER, mit_set_points
from servo_traffic import GOAL_POSITION, describe, radians

TIMED_OUT = "Operation timed out"
PARSING = "Parsing error"
NECK_TIMEOUT = "read_neck_positions({}): transport error: timeout waiting for frame"
NETWORK_DOWN = "read_neck_positions(neck_yaw): transport error: backend error: Network is down"
CALL_BOUND = 0.5  # s: one failing controller call
SHOWS_IN = 1.5  # s: the loop's last reading reports a fault (five tries with 20 ms pauses)
LOOP_RECOVERY = 1.0  # s past the fault's late bytes: the loop reads well again...
RECOVERY_TICKS = 60  # ...within this many readings (missed ticks are caught up back to back)
CLOSE_BOUND = 2.0  # s: close with the fault active and a few commands queued
QUEUED = 8  # commands queued while the worker is held
# While a fault makes each reading take its five tries, a tick is always due and the worker
# picks a command or a tick at random: a command waits a failing reading on average.
LANDED_IN = QUEUED * 0.5 + 2.0


@dataclass(frozen=True)
class Fault:
    name: str
    inject: Callable[..., None]
    clear: Callable[..., None]
    call: str  # the controller method that meets the fault
    error: str  # its exact error text
    # Late bytes still arrive this long after the fault cleared; calls made meanwhile may
    # read them as answers and fail.
    late: float
    stdout: str = ""  # a diagnostic line the fault prints


def servo_switch(servo_id: int, name: str, value, off) -> tuple[Callable, Callable]:
    return (lambda torso: setattr(torso.servo_bus.servos[servo_id], name, value),
            lambda torso: setattr(torso.servo_bus.servos[servo_id], name, off))


def motor_switch(index: int, name: str) -> tuple[Callable, Callable]:
    return (lambda torso: setattr(torso.neck.motors[index], name, True),
            lambda torso: setattr(torso.neck.motors[index], name, False))


def link(state: str) -> Callable:
    return lambda torso: subprocess.run(["ip", "link", "set", torso.can_iface, state], check=True)


def stall(value: bool) -> Callable:
    return lambda torso: setattr(torso.servo_bus, "stalled", value)


READ_SERVOS, READ_NECK = "read_all_positions", "read_neck_positions"
# Servo 2's present-position reply (2048 counts) with its checksum flipped.
CHECKSUM_LINE = "read crc: 14, computed crc: 241 data: [255, 255, 2, 4, 0, 0, 8, 14]\n"

FAULTS = [  # name, inject, clear, the call that meets it, its error, late bytes (s)
    Fault("silent servo", *servo_switch(3, "absent", True, False), READ_SERVOS, TIMED_OUT, 0.02),
    # Late by far more than the controller's 10 ms wait: a reply late by about the wait
    # reaches it in time whenever a busy host delays the controller that long.
    *(Fault(f"late reply {ms} ms", *servo_switch(2, "reply_delay", ms / 1000, 0.0), READ_SERVOS,
            TIMED_OUT, ms / 1000) for ms in (50, 200)),
    Fault("corrupted checksum", *servo_switch(2, "corrupt_checksum", True, False), READ_SERVOS,
          "Checksum error", 0.0, CHECKSUM_LINE),
    Fault("stray bytes before a reply", *servo_switch(1, "noise", b"\x00\x00", b""), READ_SERVOS,
          PARSING, 0.0),
    Fault("reply from the wrong id", *servo_switch(2, "wrong_id", 9, None), READ_SERVOS, PARSING,
          0.0),
    Fault("bad header", *servo_switch(2, "bad_header", True, False), READ_SERVOS, PARSING, 0.0),
    Fault("stalled adapter, then a burst", stall(True), stall(False), READ_SERVOS, TIMED_OUT, 0.0),
    Fault("silent neck motor", *motor_switch(1, "silent"), READ_NECK,
          NECK_TIMEOUT.format("neck_pitch"), 0.0),
    Fault("late CAN reply", *motor_switch(1, "late_reply"), READ_NECK,
          NECK_TIMEOUT.format("neck_pitch"), 0.03),
    Fault("CAN interface down, then up", link("down"), link("up"), READ_NECK, NETWORK_DOWN, 0.0),
]
QUIET = 0.15  # s past a fault's late bytes: the line is quiet again
RECOVERY = 0.5  # s past a fault's late bytes: calls back to back succeed again


def bounded(seconds: float, call: Callable, *args, **kwargs):
    """Runs call on a thread of its own: (its result or exception, seconds taken); fails the
    test instead of hanging when the call does not return in time."""
    outcome: list = []

    def run():
        try:
            outcome.append(call(*args, **kwargs))
        except BaseException as error:  # noqa: BLE001 - the caller judges it
            outcome.append(error)

    thread = threading.Thread(target=run, daemon=True)
    start = time.monotonic()
    thread.start()
    thread.join(seconds)
    elapsed = time.monotonic() - start
    assert not thread.is_alive(), f"{getattr(call, '__name__', call)} still runs after {seconds} s"
    return outcome[0], elapsed


def recovery_time(call, limit: float) -> float:
    """Calls back to back until one succeeds; the time that took."""
    start = time.monotonic()
    while isinstance(bounded(CALL_BOUND, call)[0], BaseException):
        assert time.monotonic() - start < limit, f"{call.__name__} still fails after {limit} s"
    return time.monotonic() - start


# --- the direct controller ------------------------------------------------------------------


def failing_call(torso, fault, call) -> tuple[BaseException, float]:
    """The first failure under the fault, and its time. A guest that was not scheduled for a
    while may take a late reply in time, so the fault gets three calls to show."""
    fault.inject(torso)
    try:
        for _ in range(3):
            outcome, elapsed = bounded(CALL_BOUND, call)
            if isinstance(outcome, BaseException):
                return outcome, elapsed
    finally:
        fault.clear(torso)
    pytest.fail(f"three calls succeeded under the fault {fault.name}")


def succeeds(call):
    """A call on a healthy line."""
    outcome, _ = bounded(CALL_BOUND, call)
    if isinstance(outcome, BaseException):
        raise outcome
    return outcome


@pytest.mark.parametrize("fault", FAULTS, ids=lambda fault: fault.name)
def test_controller(torso, fault, capfd):
    controller = VorlixMotorController(torso.serial_path, torso.can_iface)
    call = getattr(controller, fault.call)
    succeeds(call)
    capfd.readouterr()
    error, elapsed = failing_call(torso, fault, call)
    assert isinstance(error, RuntimeError) and str(error) == fault.error
    assert elapsed < CALL_BOUND
    assert capfd.readouterr().out.startswith(fault.stdout)
    # Called back to back, calls read the fault's late bytes as answers for a short while.
    assert recovery_time(call, fault.late + RECOVERY) < fault.late + RECOVERY
    # From a quiet line the fault shows again, and once its late bytes have landed the next
    # call succeeds.
    time.sleep(fault.late + QUIET)
    failing_call(torso, fault, call)
    time.sleep(fault.late + QUIET)
    succeeds(call)


def test_controller_with_its_adapter_unplugged(torso):
    controller = VorlixMotorController(torso.serial_path, torso.can_iface)
    succeeds(controller.read_all_positions)
    torso.servo_bus.unplug()
    for call in (controller.read_all_positions, controller.enable_torque):
        error, elapsed = bounded(CALL_BOUND, call)
        assert isinstance(error, RuntimeError) and str(error) == "Input/output error"
        assert elapsed < CALL_BOUND
    assert len(succeeds(controller.read_neck_positions)) == 3  # the neck does not depend on it
    # No reconnection: the controller stays cut off; one built on the new adapter reads at once.
    torso.servo_bus.replug()
    assert isinstance(bounded(CALL_BOUND, controller.read_all_positions)[0], RuntimeError)
    del controller
    assert len(succeeds(VorlixMotorController(torso.serial_path, torso.can_iface)
                        .read_all_positions)) == 7


# --- the control loop -----------------------------------------------------------------------


@contextmanager
def worker_held(loop):
    """Holds the worker inside the logging bridge (a clamped neck command warns), so that
    commands posted meanwhile stay queued."""
    entered, release = threading.Event(), threading.Event()

    class Hold(logging.Handler):
        def emit(self, record):
            if "requested position" in record.getMessage() and not release.is_set():
                entered.set()
                release.wait(10)

    handler = Hold()
    logger = logging.getLogger(CONTROLLER_LOGGER)
    logger.addHandler(handler)
    try:
        loop.set_neck_yaw_position(9.0)
        assert entered.wait(5), "the worker never logged the clamp"
        yield
    finally:
        release.set()
        logger.removeHandler(handler)


def reading_error(loop) -> str | None:
    try:
        loop.get_last_position()
    except RuntimeError as error:
        return str(error)
    return None


@dataclass(frozen=True)
class Commands:
    """Commands on one bus: posting a list of positions, and those the motors received."""

    post: Callable
    received: Callable


NECK_YAW = Commands(
    lambda loop, values: [loop.set_neck_yaw_position(v) for v in values],
    lambda torso: [round(p.position, 2) for i, p in mit_set_points(torso.neck) if i == 0])
NOSE_TOP = Commands(
    lambda loop, values: [loop.set_nose_position([v, 0.0, 0.0]) for v in values],
    lambda torso: [round(radians(pairs[0][1]), 2)
                   for kind, address, *rest in map(describe, torso.servo_bus.requests)
                   if kind == "sync_write" and address == GOAL_POSITION
                   for pairs in rest if pairs[0][0] == 5])
BEFORE = [round(-0.4 + k * 0.05, 2) for k in range(QUEUED)]  # queued before the fault
AT_CLOSE = [0.1, 0.2, 0.3]  # queued just before close


def commands_for(fault: Fault) -> Commands:
    """Commands on the bus the fault leaves alone. On the faulty bus a command may fail and
    is then dropped, as every fire-and-forget command that fails: while late answers keep
    arriving, a goal write's drain gives up and the write is never sent."""
    return NECK_YAW if fault.call == READ_SERVOS else NOSE_TOP


def landed(torso, commands: Commands, values: list[float]) -> bool:
    return commands.received(torso)[-len(values):] == values


def open_loop(torso, **options) -> VorlixPyControlLoop:
    return VorlixPyControlLoop(torso.serial_path, PERIOD, torso.can_iface,
                               stats_pub_period=timedelta(hours=1), **options)


def ticks(loop) -> int:
    return len(loop.get_stats().period)


@pytest.mark.parametrize("fault", FAULTS, ids=lambda fault: fault.name)
def test_loop(torso, fault):
    commands = commands_for(fault)
    loop = open_loop(torso)
    try:
        with worker_held(loop):
            commands.post(loop, BEFORE)
            fault.inject(torso)
        wait_until(lambda: reading_error(loop) == COMMUNICATION, SHOWS_IN, "the failure")
        wait_until(lambda: landed(torso, commands, BEFORE), LANDED_IN, "the queued commands")

        fault.clear(torso)
        cleared_tick, cleared_at = ticks(loop), time.time()
        wait_until(lambda: reading_error(loop) is None
                   and loop.get_last_position().timestamp > cleared_at,
                   fault.late + LOOP_RECOVERY, "a good reading")
        assert ticks(loop) - cleared_tick <= RECOVERY_TICKS

        fault.inject(torso)
        wait_until(lambda: reading_error(loop) == COMMUNICATION, SHOWS_IN, "the failure")
        commands.post(loop, AT_CLOSE)
        bounded(CLOSE_BOUND, loop.close)
        wait_until(lambda: landed(torso, commands, AT_CLOSE), 5, "the commands queued at close")
    finally:
        fault.clear(torso)
        loop.close()


def test_loop_with_its_adapter_unplugged(torso):
    loop = open_loop(torso)
    try:
        with worker_held(loop):
            NECK_YAW.post(loop, BEFORE)
            torso.servo_bus.unplug()
        wait_until(lambda: reading_error(loop) == COMMUNICATION, SHOWS_IN, "the failure")
        wait_until(lambda: landed(torso, NECK_YAW, BEFORE), LANDED_IN, "the queued commands")
        NECK_YAW.post(loop, AT_CLOSE)
        bounded(CLOSE_BOUND, loop.close)
        assert landed(torso, NECK_YAW, AT_CLOSE)
    finally:
        loop.close()
    # No reconnection: a new loop on the replugged adapter reads at once.
    torso.servo_bus.replug()
    with_new_adapter = open_loop(torso)
    assert len(with_new_adapter.get_last_position().nose) == 3
    with_new_adapter.close()


def test_loop_on_a_supply_that_stays_low(torso):
    torso.servo_bus.voltage_ramp(109, 109, 0)
    error, elapsed = bounded(
        5.0, open_loop, torso, voltage_rampup_timeout=timedelta(milliseconds=400))
    assert isinstance(error, RuntimeError)
    assert str(error) == "Voltage did not ramp up to 12V (got 10.9V) within 400ms!"
    assert 0.4 <= elapsed < 0.4 + 3.0
    torso.servo_bus.voltage_ramp(120, 120, 0)
    open_loop(torso, voltage_rampup_timeout=timedelta(milliseconds=400)).close()


def test_loop_close_is_prompt_whatever_the_period(can_iface, neck):
    # Closed while the worker waits for its second tick, an hour away.
    loop = VorlixPyControlLoop(None, timedelta(hours=1), can_iface,
                               stats_pub_period=timedelta(hours=1))
    wait_until(lambda: ticks(loop) == 1, CLOSE_BOUND, "the first tick")
    start = time.monotonic()
    loop.close()
    assert time.monotonic() - start < CLOSE_BOUND
