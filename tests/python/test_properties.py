"""Property tests over the whole Python API: every method of both classes, their constructors
and the value classes, called with arbitrary arguments. Only TypeError, ValueError,
OverflowError and RuntimeError may come out (or the exception a caller's own object raised),
never a crash, a SystemError or a PanicException, and a refused call sends nothing on either
bus."""

import array
import math
import os
import re
import time
from collections.abc import Sequence
from datetime import timedelta
from decimal import Decimal
from fractions import Fraction

import numpy
import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st
from vorlix_motor_controller import (
    ControlLoopStats,
    VorlixMotorController,
    VorlixPyControlLoop,
    VorlixTorsoPosition,
)

from servo_traffic import describe

SETTINGS = settings(
    max_examples=int(os.environ.get("PROPERTY_EXAMPLES", "40")),
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


class Hostile(Exception):
    """Raised by the test's own objects; the module must let it through unchanged."""


ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, Hostile)
# RuntimeErrors of an operation that was carried out and failed on the bus: not refusals. A
# busy single-CPU test kernel may answer a CAN request, or a servo, after its time-out.
BUS_FAILURES = re.compile(r"^(Failed to read (raw bytes|pid gains): |neck_home: timed out|"
                          r"set_arm_home: verify failed|.*: transport error: timeout waiting for "
                          r"frame$|Operation timed out$)")


# --- hostile objects ------------------------------------------------------------------------


class Raising:
    """A number whose every conversion raises."""

    def __index__(self):
        raise Hostile("__index__")

    def __float__(self):
        raise Hostile("__float__")


class Mutating:
    """A number whose conversion changes the list it sits in."""

    def __init__(self, target: list, how: str) -> None:
        self.target, self.how = target, how

    def _mutate(self) -> None:
        if self.how == "clear":
            self.target.clear()
        elif self.how == "grow":
            self.target.extend([1] * 1000)
        elif self.how == "shrink":
            del self.target[1:]
        else:
            self.target[:] = [object()] * len(self.target)

    def __index__(self) -> int:
        self._mutate()
        return 1

    def __float__(self) -> float:
        self._mutate()
        return 1.0


class Exhausted(Hostile, IndexError):
    """The end of a sequence's items: iteration stops there, reading by index raises it."""


class LyingSequence(Sequence):
    """A sequence whose length lies or raises, and whose items may raise."""

    def __init__(self, items: list, length: int | None, fail_at: int | None) -> None:
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self) -> int:
        if self.length is None:
            raise Hostile("__len__")
        return self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise Hostile("__getitem__")
        if not 0 <= index < len(self.items):
            raise Exhausted(index)
        return self.items[index]


class BytesSubclass(bytes):
    pass


# --- strategies -----------------------------------------------------------------------------

SMALL_REALS = st.floats(-4.0, 4.0, allow_nan=False)
ODD = st.one_of(
    st.none(),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.builds(bytearray, st.binary(max_size=4)),
    st.builds(memoryview, st.binary(max_size=4)),
    st.builds(object),
    st.builds(Raising),
    st.just(timedelta(seconds=1)),
    st.just(complex(1, 2)),
    st.just(array.array("d", [0.0, 0.0])),
    st.just({}),
)
NUMBERS = st.one_of(
    st.floats(),
    st.integers(-(2**70), 2**70),
    st.sampled_from([2**64, 2**64 - 1, -(2**63) - 1, 10**400, 255, 256, 65535, 65536, -1]),
    st.booleans(),
    st.sampled_from([Fraction(1, 3), Decimal("1.5"), Decimal("NaN"), Decimal("sNaN"),
                     numpy.float64("nan"), numpy.float32(1e38), numpy.int64(7),
                     numpy.bool_(True)]),
)
ANYTHING = st.one_of(NUMBERS, ODD)


@st.composite
def self_mutating_list(draw, items):
    target = draw(st.lists(items, max_size=6))
    mutator = Mutating(target, draw(st.sampled_from(["clear", "grow", "shrink", "replace"])))
    target.insert(draw(st.integers(0, len(target))), mutator)
    return target


def weighted(*pairs):
    """One of the strategies, each drawn about as often as its weight."""
    choices = [strategy for weight, strategy in pairs for _ in range(weight)]
    return st.integers(0, len(choices) - 1).flatmap(lambda index: choices[index])


# Mostly plain positions, often NaN, infinities, huge values and other numbers float() takes.
REALS = weighted((3, SMALL_REALS), (1, st.floats()), (1, NUMBERS))


def sequences(length: int, items=REALS):
    """Sequences of the wanted length mostly, else near it, of odd and hostile items, and odd
    containers."""
    near = st.integers(max(0, length - 1), length + 1)
    return weighted(
        (5, st.lists(items, min_size=length, max_size=length)),
        (1, st.tuples(*[items] * length)),
        (1, near.flatmap(lambda n: st.lists(st.one_of(items, ANYTHING), min_size=n,
                                            max_size=n))),
        (1, self_mutating_list(items)),
        (1, st.builds(LyingSequence, st.lists(items, max_size=length + 1),
                      st.one_of(st.none(), near, st.sampled_from([10**8, 2**62])),
                      st.one_of(st.none(), st.integers(0, length)))),
        (1, st.one_of(st.binary(min_size=length, max_size=length),
                      st.builds(numpy.array, st.lists(st.floats(), min_size=length,
                                                      max_size=length)))),
        (1, ANYTHING),
    )


def kind(name: str, length: int = 0):
    """The strategy for one kind of parameter: mostly valid values, often not."""
    if name == "flag":
        return weighted((4, st.booleans()), (1, st.just(numpy.bool_(False))), (2, ANYTHING))
    if name == "real":
        return weighted((4, REALS), (1, ANYTHING))
    if name == "optional real":
        return weighted((1, st.none()), (4, REALS), (1, ANYTHING))
    if name == "positive real":  # a valid one stays quick: no tiny tolerance, no crawling ramp
        return weighted((4, st.floats(0.1, 5.0)),
                        (2, ANYTHING.filter(lambda v: not _tiny_positive(v))))
    if name == "positions":
        return sequences(length)
    if name == "ids":
        return weighted((4, st.lists(st.integers(0, 12), max_size=4)),
                        (2, sequences(2, st.integers(-5, 300))), (1, st.text(max_size=3)))
    if name in ("u8", "u16", "index"):
        top = {"u8": 255, "u16": 65535, "index": 4}[name]
        return weighted((4, st.integers(0, top)), (1, st.integers(-(2**70), 2**70)),
                        (1, ANYTHING))
    if name == "bytes":
        return weighted((4, st.binary(max_size=8)),
                        (1, st.builds(BytesSubclass, st.binary(max_size=8))), (2, ANYTHING))
    if name == "torso position":
        lists = [st.lists(st.floats(), min_size=n, max_size=n) for n in (2, 2, 3, 3)]
        return weighted((4, st.builds(VorlixTorsoPosition, *lists)), (1, ANYTHING))
    raise AssertionError(name)


def _tiny_positive(value) -> bool:
    try:
        return 0 < float(value) < 0.01
    except Exception:  # noqa: BLE001 - not a number at all
        return False


@st.composite
def calls(draw, parameters):
    """(args, kwargs) for a parameter list: mostly all of them, by position or keyword; now
    and then one missing, one too many or an unknown keyword."""
    values = [draw(strategy) for _, strategy in parameters]
    shape = draw(st.integers(0, 9))
    given_count = max(0, len(values) - 1) if shape == 0 else len(values)
    positional = draw(st.integers(0, given_count))
    args = values[:positional]
    kwargs = {name: value for (name, _), value in
              zip(parameters[positional:given_count], values[positional:given_count])}
    if shape == 1:
        args, kwargs = [*values, draw(ANYTHING)], {}
    elif shape == 2:
        kwargs["bogus"] = draw(ANYTHING)
    return args, kwargs


# --- traffic --------------------------------------------------------------------------------


def described(packet: bytes) -> tuple:
    try:
        return describe(packet)
    except AssertionError:  # garbage a raw packet carried
        return ("raw", packet)


def traffic(torso) -> tuple[list, list]:
    return [described(p) for p in torso.servo_bus.requests], list(torso.neck.frames)


def call_and_check(torso, call, barrier, barrier_traffic) -> None:
    """Calls; an exception must be an allowed one, and a refusal must send nothing: after the
    barrier, the buses hold nothing new but the barrier's own traffic."""
    before = traffic(torso)
    try:
        call()
        event("accepted")
        return
    except ALLOWED as error:
        if isinstance(error, RuntimeError) and BUS_FAILURES.match(str(error)):
            event("failed on the bus")
            return
        event(f"refused: {type(error).__name__}")
        refusal = error
    barrier()
    requests, frames = traffic(torso)
    sent = ([r for r in requests[len(before[0]):] if r not in barrier_traffic[0]],
            [f for f in frames[len(before[1]):] if f not in barrier_traffic[1]])
    assert sent == ([], []), f"{refusal!r} was refused after sending {sent}"


def robust(barrier):
    """A barrier that outlasts garbage a raw packet left half-framed on the line, and a reply
    missed by a guest that a busy host left unscheduled: tries again once the line is quiet."""

    def run():
        for _ in range(3):
            try:
                return barrier()
            except RuntimeError:
                time.sleep(0.05)
        return barrier()

    return run


# --- the direct controller ------------------------------------------------------------------

POSITION_COUNTS = {"set_all_goal_positions": 7, "set_left_arm_position": 2,
                   "set_right_arm_position": 2, "set_arms_position": 4, "set_nose_position": 3,
                   "set_neck_position": 3}
NO_ARGUMENTS = ["is_torque_enabled", "enable_torque", "disable_torque", "read_all_positions",
                "neck_position_limits", "read_neck_positions", "is_neck_torque_enabled"]

CONTROLLER_METHODS = {
    **{name: [] for name in NO_ARGUMENTS},
    "enable_torque_on_ids": [("ids", kind("ids"))],
    "disable_torque_on_ids": [("ids", kind("ids"))],
    **{name: [("positions" if name == "set_all_goal_positions" else "position",
               kind("positions", count))] for name, count in POSITION_COUNTS.items()},
    **{f"set_neck_{joint}_position": [("position", kind("real"))]
       for joint in ("yaw", "pitch", "roll")},
    "set_neck_gains": [("index", kind("index")), ("kp", kind("real")), ("kd", kind("real"))],
    "neck_home": [("speed", kind("positive real")), ("tolerance", kind("positive real")),
                  ("kp", kind("optional real")), ("kd", kind("optional real"))],
    "enable_neck": [("enable", kind("flag"))],
    "enable_arms": [("enable", kind("flag"))],
    "enable_nose": [("enable", kind("flag"))],
    "set_arm_home": [("verify_tol", kind("positive real"))],
    "write_raw_packet": [("data", kind("bytes"))],
}


def test_every_controller_method_is_covered():
    public = {name for name in dir(VorlixMotorController) if not name.startswith("_")}
    assert public == set(CONTROLLER_METHODS)


RECEIVERS = st.one_of(st.builds(object), st.none(), st.integers(),
                      st.builds(VorlixTorsoPosition, *[st.just([0.0] * n) for n in (2, 2, 3, 3)]))


@pytest.mark.parametrize("name", CONTROLLER_METHODS)
@SETTINGS
@given(data=st.data())
def test_controller_method(controller, torso, name, data):
    args, kwargs = data.draw(calls(CONTROLLER_METHODS[name]))
    if data.draw(st.integers(0, 9)) == 0:
        receiver = data.draw(RECEIVERS)
        call = lambda: getattr(VorlixMotorController, name)(receiver, *args, **kwargs)
    else:
        call = lambda: getattr(controller, name)(*args, **kwargs)

    def barrier():
        controller.read_all_positions()
        controller.read_neck_positions()

    robust(barrier)()
    call_and_check(torso, call, robust(barrier), (
        [("sync_read", 56, 2, [1, 2, 3, 4]), ("sync_read", 56, 2, [5, 6, 7])],
        [(0x7FF, bytes([i, 0, 0xCC, 0, 0, 0, 0, 0])) for i in (1, 2, 3)]))


TEXT = st.one_of(st.text(max_size=6), st.sampled_from(["", "can9", "/dev/null", "\0", "\ud800"]))


@SETTINGS
@given(data=st.data())
def test_controller_constructor(torso, data):
    serial = st.one_of(st.none(), st.just(torso.serial_path), TEXT, ANYTHING)
    can = st.one_of(st.just(torso.can_iface), TEXT, ANYTHING)
    args, kwargs = data.draw(calls([("serialport", serial), ("can_bus", can)]))
    before = traffic(torso)
    try:
        VorlixMotorController(*args, **kwargs)
    except ALLOWED:
        pass
    # Construction never sends, whether it succeeds or not.
    assert traffic(torso) == before


# --- the control loop -----------------------------------------------------------------------

LOOP_METHODS = {
    **{name: [] for name in ["get_motor_name_id", "get_last_position", "is_torque_enabled",
                             "enable_torque", "disable_torque", "get_stats"]},
    "set_all_goal_positions": [("positions", kind("torso position"))],
    **{name: [("position", kind("positions", count))] for name, count in POSITION_COUNTS.items()
       if name != "set_all_goal_positions"},
    **{f"set_neck_{joint}_position": [("position", kind("real"))]
       for joint in ("yaw", "pitch", "roll")},
    "enable_neck": [("enable", kind("flag"))],
    "enable_arms": [("enable", kind("flag"))],
    "enable_nose": [("enable", kind("flag"))],
    "enable_torque_on_ids": [("ids", kind("ids"))],
    "disable_torque_on_ids": [("ids", kind("ids"))],
    "async_read_raw_bytes": [("id", kind("u8")), ("addr", kind("u8")), ("length", kind("u8"))],
    "async_write_raw_bytes": [("id", kind("u8")), ("addr", kind("u8")), ("data", kind("ids"))],
    "async_read_pid_gains": [("id", kind("u8"))],
    "async_write_pid_gains": [("id", kind("u8")), ("p", kind("u16")), ("i", kind("u16")),
                              ("d", kind("u16"))],
    "write_raw_packet": [("data", kind("bytes"))],
    "start_recording": [("capacity", kind("u16"))],
    "stop_recording": [],
    "take_recording": [],
    # Memory locking is left out: it would hold every later test's memory in this process.
    "set_worker_scheduling": [("realtime_priority", kind("u8")), ("cpus", kind("ids"))],
}


def test_every_loop_method_is_covered():
    public = {name for name in dir(VorlixPyControlLoop) if not name.startswith("_")}
    assert public == set(LOOP_METHODS) | {"close"}


@pytest.fixture
def loop(torso):
    loop = VorlixPyControlLoop(torso.serial_path, timedelta(milliseconds=100), torso.can_iface,
                               stats_pub_period=timedelta(milliseconds=50))
    yield loop
    loop.close()


# The loop's own readings, and the raw read that serves as its barrier.
LOOP_TRAFFIC = ([("sync_read", 56, 2, [1, 2, 3, 4]), ("sync_read", 56, 2, [5, 6, 7]),
                 (2, 1, bytes([56, 2]))],
                [(0x7FF, bytes([i, 0, 0xCC, 0, 0, 0, 0, 0])) for i in (1, 2, 3)])


@pytest.mark.parametrize("name", LOOP_METHODS)
@SETTINGS
@given(data=st.data())
def test_loop_method(loop, torso, name, data):
    args, kwargs = data.draw(calls(LOOP_METHODS[name]))
    if data.draw(st.integers(0, 9)) == 0:
        receiver = data.draw(RECEIVERS)
        call = lambda: getattr(VorlixPyControlLoop, name)(receiver, *args, **kwargs)
    else:
        call = lambda: getattr(loop, name)(*args, **kwargs)
    # The read goes through the queue after every command before it, and its answer shows
    # that the servos took every request before it.
    barrier = robust(lambda: loop.async_read_raw_bytes(1, 56, 2))
    barrier()
    call_and_check(torso, call, barrier, LOOP_TRAFFIC)


@SETTINGS
@given(data=st.data())
def test_loop_close_takes_no_arguments(loop, data):
    args, kwargs = data.draw(calls([("x", ANYTHING)]))
    if not args and not kwargs:
        args = [None]
    with pytest.raises(TypeError):
        loop.close(*args, **kwargs)
    assert loop.get_motor_name_id()


DURATIONS = st.one_of(
    st.timedeltas(min_value=timedelta(microseconds=-10), max_value=timedelta(milliseconds=50)),
    st.sampled_from([timedelta(0), timedelta.max, timedelta.min, timedelta(days=-1)]),
    ANYTHING,
)


@SETTINGS
@given(data=st.data())
def test_loop_constructor(torso, data):
    serial = st.one_of(st.none(), st.just("/nonexistent/tty"), TEXT, ANYTHING)
    can = st.one_of(st.just(torso.can_iface), TEXT, ANYTHING)
    count = st.one_of(st.integers(0, 6), st.integers(-(2**70), 2**70), ANYTHING)
    optional = st.one_of(st.none(), DURATIONS)
    args, kwargs = data.draw(calls([
        ("serialport", serial), ("read_position_loop_period", DURATIONS), ("can_bus", can),
        ("allowed_retries", count), ("stats_pub_period", optional),
        ("voltage_rampup_timeout", DURATIONS)]))
    before = traffic(torso)
    try:
        loop = VorlixPyControlLoop(*args, **kwargs)
    except ALLOWED:
        # Refused, or no serial port to open: a neck-only attempt sends nothing.
        assert traffic(torso)[0] == before[0]
        return
    loop.close()


# --- the value classes ----------------------------------------------------------------------


def plain(values) -> bool:
    return isinstance(values, (list, tuple)) and all(
        type(v) in (float, int, bool) for v in values)


def same(a: list[float], b: list[float]) -> bool:
    return len(a) == len(b) and all(x == y or (math.isnan(x) and math.isnan(y))
                                    for x, y in zip(a, b))


def shown(text: str) -> list[float]:
    return [float(item) for item in text.split(", ")]


@SETTINGS
@given(arms=st.tuples(sequences(2), sequences(2)), nose=sequences(3), neck=sequences(3))
def test_torso_position(arms, nose, neck):
    values = [arms[0], arms[1], nose, neck]
    snapshot = [list(v) if plain(v) else None for v in values]
    try:
        position = VorlixTorsoPosition(*values)
    except ALLOWED:
        return
    lists = [position.left_arm, position.right_arm, position.nose, position.neck]
    assert [len(v) for v in lists] == [2, 2, 3, 3]
    text = repr(position)
    match = re.fullmatch(r"VorlixTorsoPosition\(left_arm=\[(.*)\], right_arm=\[(.*)\], "
                         r"nose=\[(.*)\], neck=\[(.*)\], timestamp=(\d+\.\d{3})\)", text)
    assert match, text
    for stored, given_values, printed in zip(lists, snapshot, match.groups()):
        assert all(type(v) is float for v in stored)
        if given_values is not None:
            assert same(stored, [float(v) for v in given_values])
        # The repr reads back to the very values held.
        assert same(shown(printed), stored), printed


@SETTINGS
@given(args=st.lists(ANYTHING, max_size=3))
def test_control_loop_stats_cannot_be_made_from_python(args):
    with pytest.raises(TypeError):
        ControlLoopStats(*args)


@pytest.mark.parametrize("value_class", [VorlixTorsoPosition, ControlLoopStats])
@SETTINGS
@given(receiver=RECEIVERS.filter(lambda r: r is not None))
def test_value_attributes_refuse_foreign_receivers(value_class, receiver):
    if isinstance(receiver, value_class):
        return
    for name in [n for n in dir(value_class) if not n.startswith("_")]:
        with pytest.raises(TypeError):
            value_class.__dict__[name].__get__(receiver, type(receiver))
