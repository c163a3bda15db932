"""VorlixMotorController's neck against the virtual neck: limits and the clamp's warnings,
gains, enabling, reading, refusals of non-finite values, and the frames the motors received."""

import logging
import math
import threading

import pytest
from vorlix_motor_controller import VorlixMotorController
from neck_traffic import (
    LOGGER,
    CTRL_MODE,
    TIMEOUT,
    MODE_REFUSED,
    DEFAULT_GAINS,
    POSITION_STEP,
    describe_frame,
    neck_sent,
    mit_set_points,
    assert_set_point,
    clamp_warning,
    controller_warnings,
    assert_commanded_gains,
    enable_frames,
)
from servo_traffic import ARM, NOSE, PRESENT_POSITION, describe

@pytest.fixture
def controller(neck, can_iface):
    return VorlixMotorController(None, can_iface)


@pytest.fixture
def warnings_seen(caplog):
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        yield caplog


def place(neck, positions):
    for motor, position in zip(neck.motors, positions):
        motor.position = position


# --- limits and the clamp ----------------------------------------------------------------


def test_neck_position_limits(controller, neck):
    assert controller.neck_position_limits() == [(-0.5, 0.5), (0.0, 0.45), (-0.4, 0.4)]
    assert neck_sent(neck, 0) == []


CLAMPS = [
    # request, commanded, warnings
    (
        [1.0, -1.0, 0.0],
        [0.5, 0.0, 0.0],
        [
            clamp_warning("neck_yaw", 1.0, -0.5, 0.5, 0.5),
            clamp_warning("neck_pitch", -1.0, 0.0, 0.45, 0.0),
        ],
    ),
    ([-0.5, 0.45, 0.4], [-0.5, 0.45, 0.4], []),
    ([0.5, 0.0, -0.4], [0.5, 0.0, -0.4], []),
    ([0.2, 0.1, -3.0], [0.2, 0.1, -0.4], [clamp_warning("neck_roll", -3.0, -0.4, 0.4, -0.4)]),
]


@pytest.mark.parametrize("request_, commanded, warnings", CLAMPS)
def test_set_neck_position_clamps_warns_and_returns_what_the_motors_report(
    controller, neck, warnings_seen, request_, commanded, warnings
):
    place(neck, [0.3, 0.1, -0.2])  # disabled motors stay where they are

    observed = controller.set_neck_position(request_)

    assert observed == pytest.approx([0.3, 0.1, -0.2], abs=POSITION_STEP)
    assert neck_sent(neck, 3) == [("mit", 1), ("mit", 2), ("mit", 3)]
    for (index, set_point), position in zip(mit_set_points(neck), commanded):
        assert_set_point(set_point, position, DEFAULT_GAINS[index])
    assert controller_warnings(warnings_seen) == warnings


SINGLE_JOINTS = [
    # method, index, request, commanded, warning
    ("set_neck_yaw_position", 0, 0.7, 0.5, [clamp_warning("neck_yaw", 0.7, -0.5, 0.5, 0.5)]),
    ("set_neck_pitch_position", 1, 0.3, 0.3, []),
    (
        "set_neck_pitch_position",
        1,
        -0.01,
        0.0,
        [clamp_warning("neck_pitch", -0.01, 0.0, 0.45, 0.0)],
    ),
    ("set_neck_roll_position", 2, -0.9, -0.4, [clamp_warning("neck_roll", -0.9, -0.4, 0.4, -0.4)]),
]


@pytest.mark.parametrize("method, index, request_, commanded, warnings", SINGLE_JOINTS)
def test_single_joint_setters_command_only_their_joint(
    controller, neck, warnings_seen, method, index, request_, commanded, warnings
):
    place(neck, [0.11, 0.22, -0.33])

    observed = getattr(controller, method)(request_)

    assert isinstance(observed, float)
    assert observed == pytest.approx([0.11, 0.22, -0.33][index], abs=POSITION_STEP)
    assert neck_sent(neck, 1) == [("mit", index + 1)]
    [(_, set_point)] = mit_set_points(neck)
    assert_set_point(set_point, commanded, DEFAULT_GAINS[index])
    assert controller_warnings(warnings_seen) == warnings


NON_FINITE_POSITIONS = [
    ("set_neck_position", ([math.nan, 0.0, 0.0],), "neck_yaw position must be finite, got NaN"),
    ("set_neck_position", ([0.0, math.inf, 0.0],), "neck_pitch position must be finite, got inf"),
    ("set_neck_position", ([0.1, 0.2, -math.inf],), "neck_roll position must be finite, got -inf"),
    ("set_neck_yaw_position", (math.nan,), "position must be finite, got NaN"),
    ("set_neck_pitch_position", (math.inf,), "position must be finite, got inf"),
    ("set_neck_roll_position", (-math.inf,), "position must be finite, got -inf"),
]


@pytest.mark.parametrize("method, args, message", NON_FINITE_POSITIONS)
def test_non_finite_neck_positions_are_refused_before_anything_is_sent(
    controller, neck, warnings_seen, method, args, message
):
    with pytest.raises(RuntimeError) as refused:
        getattr(controller, method)(*args)
    assert str(refused.value) == f"{method}: {message}"
    assert neck_sent(neck, 0) == []
    assert controller_warnings(warnings_seen) == []


# --- gains -------------------------------------------------------------------------------


@pytest.mark.parametrize("index", [3, 4, 1000])
def test_set_neck_gains_refuses_an_index_past_roll(controller, neck, index):
    with pytest.raises(RuntimeError) as refused:
        controller.set_neck_gains(index, 10.0, 1.0)
    assert str(refused.value) == f"neck index out of range: {index}"
    assert neck_sent(neck, 0) == []
    assert_commanded_gains(controller, neck, DEFAULT_GAINS)


# Gains are not range-checked when set; the MIT encoding clamps them to [0, 500] and [0, 5].
@pytest.mark.parametrize(
    "kp, kd, sent_gains",
    [(10.0, 0.5, (10.0, 0.5)), (1e4, -1.0, (500.0, 0.0)), (1e300, -1e300, (500.0, 0.0))],
)
def test_set_neck_gains_changes_only_that_joints_next_commands(
    controller, neck, kp, kd, sent_gains
):
    assert controller.set_neck_gains(1, kp, kd) is None
    assert neck_sent(neck, 0) == []

    controller.set_neck_position([0.0, 0.2, 0.0])
    controller.set_neck_pitch_position(0.1)
    controller.set_neck_yaw_position(0.1)

    assert neck_sent(neck, 5) == [("mit", 1), ("mit", 2), ("mit", 3), ("mit", 2), ("mit", 1)]
    for index, set_point in mit_set_points(neck):
        assert_set_point(set_point, gains=sent_gains if index == 1 else DEFAULT_GAINS[index])


@pytest.mark.parametrize(
    "index, kp, kd, message",
    [
        (1, math.nan, 0.5, "kp must be finite, got NaN"),
        (1, 10.0, math.nan, "kd must be finite, got NaN"),
        (0, math.inf, 1.0, "kp must be finite, got inf"),
        (2, 10.0, -math.inf, "kd must be finite, got -inf"),
    ],
)
def test_non_finite_gains_are_refused_and_change_nothing(controller, neck, index, kp, kd, message):
    with pytest.raises(RuntimeError) as refused:
        controller.set_neck_gains(index, kp, kd)
    assert str(refused.value) == f"set_neck_gains: {message}"
    assert neck_sent(neck, 0) == []
    assert_commanded_gains(controller, neck, DEFAULT_GAINS)


# --- enabling ----------------------------------------------------------------------------


def test_enable_neck_checks_the_mode_then_enables_each_motor(controller, neck):
    assert controller.is_neck_torque_enabled() is False

    assert controller.enable_neck(True) is None

    assert neck_sent(neck, 6) == enable_frames(1) + enable_frames(2) + enable_frames(3)
    assert controller.is_neck_torque_enabled() is True
    assert all(m.enabled for m in neck.motors)

    neck.clear_frames()
    assert controller.enable_neck(False) is None
    assert neck_sent(neck, 3) == [("disable", 1), ("disable", 2), ("disable", 3)]
    assert controller.is_neck_torque_enabled() is False
    assert not any(m.enabled for m in neck.motors)


def test_enable_neck_switches_a_motor_into_mit_mode(controller, neck):
    neck.motors[1].control_mode = 3

    controller.enable_neck(True)

    assert neck_sent(neck, 8) == enable_frames(1) + [
        ("read_register", 2, CTRL_MODE),
        ("write_register", 2, CTRL_MODE, 1),
        ("read_register", 2, CTRL_MODE),
        ("enable", 2),
    ] + enable_frames(3)
    assert neck.motors[1].control_mode == 1
    assert controller.is_neck_torque_enabled() is True


ENABLE_FAILURES = [
    # enable, fault on pitch, message, frames
    (
        True,
        {"silent": True},
        f"neck_pitch: ensure MIT mode failed: {TIMEOUT}",
        enable_frames(1) + [("read_register", 2, CTRL_MODE)],
    ),
    (
        True,
        {"control_mode": 3, "refuse_mode_change": True},
        "neck_pitch: " + MODE_REFUSED.format(3),
        enable_frames(1)
        + [
            ("read_register", 2, CTRL_MODE),
            ("write_register", 2, CTRL_MODE, 1),
            ("read_register", 2, CTRL_MODE),
        ],
    ),
    (
        False,
        {"silent": True},
        f"neck_pitch: disable failed: {TIMEOUT}",
        [("disable", 1), ("disable", 2)],
    ),
]


@pytest.mark.parametrize("enable, fault, message, frames", ENABLE_FAILURES)
def test_enable_neck_stops_at_the_first_failing_motor(
    controller, neck, enable, fault, message, frames
):
    if not enable:
        controller.enable_neck(True)
        neck.clear_frames()
    for name, value in fault.items():
        setattr(neck.motors[1], name, value)

    with pytest.raises(RuntimeError) as failed:
        controller.enable_neck(enable)

    assert str(failed.value) == message
    assert neck_sent(neck, len(frames)) == frames
    assert neck.motors[0].enabled is enable  # yaw was switched
    assert neck.motors[2].enabled is not enable  # roll was not touched
    assert controller.is_neck_torque_enabled() is not enable  # the flag kept its value


def test_a_new_controller_does_not_trust_motors_left_enabled(neck, can_iface):
    first = VorlixMotorController(None, can_iface)
    first.enable_neck(True)
    del first
    assert all(m.enabled for m in neck.motors)
    assert VorlixMotorController(None, can_iface).is_neck_torque_enabled() is False


# --- reading -----------------------------------------------------------------------------


def test_read_neck_positions_works_disabled(controller, neck):
    place(neck, [0.3, -0.2, 6.0])  # multi-turn positions come back as they are

    assert controller.read_neck_positions() == pytest.approx([0.3, -0.2, 6.0], abs=POSITION_STEP)

    assert neck_sent(neck, 3) == [("feedback", 1), ("feedback", 2), ("feedback", 3)]
    assert not any(m.enabled for m in neck.motors)


NECK_FAILURES = [
    # call, silent motor, message, frames sent
    ("read_neck_positions", (), 0, f"read_neck_positions(neck_yaw): {TIMEOUT}", [("feedback", 1)]),
    (
        "read_neck_positions",
        (),
        2,
        f"read_neck_positions(neck_roll): {TIMEOUT}",
        [("feedback", 1), ("feedback", 2), ("feedback", 3)],
    ),
    (
        "set_neck_position",
        ([0.0, 0.0, 0.0],),
        0,
        f"set_neck_position(neck_yaw): {TIMEOUT}",
        [("mit", 1)],
    ),
    (
        "set_neck_position",
        ([0.0, 0.0, 0.0],),
        2,
        f"set_neck_position(neck_roll): {TIMEOUT}",
        [("mit", 1), ("mit", 2), ("mit", 3)],
    ),
    ("set_neck_yaw_position", (0.0,), 0, f"set_neck_yaw_position: {TIMEOUT}", [("mit", 1)]),
    ("set_neck_pitch_position", (0.1,), 1, f"set_neck_pitch_position: {TIMEOUT}", [("mit", 2)]),
    ("set_neck_roll_position", (0.0,), 2, f"set_neck_roll_position: {TIMEOUT}", [("mit", 3)]),
]


@pytest.mark.parametrize("method, args, silent, message, frames", NECK_FAILURES)
def test_a_silent_neck_motor_fails_with_the_joint_name(
    controller, neck, method, args, silent, message, frames
):
    neck.motors[silent].silent = True
    with pytest.raises(RuntimeError) as failed:
        getattr(controller, method)(*args)
    assert str(failed.value) == message
    assert neck_sent(neck, len(frames)) == frames

    neck.motors[silent].silent = False
    assert len(controller.read_neck_positions()) == 3


# --- threads -----------------------------------------------------------------------------


def test_two_threads_sharing_a_controller_never_interleave_exchanges(torso):
    controller = VorlixMotorController(torso.serial_path, torso.can_iface)
    torso.servo_bus.servos[3].encoder = 3072
    place(torso.neck, [0.1, 0.2, 0.3])
    rounds = 25
    results, errors = [], []

    def hammer():
        try:
            for _ in range(rounds):
                results.append((controller.read_all_positions(), controller.read_neck_positions()))
        except Exception as failure:  # noqa: BLE001 - reported by the assertion below
            errors.append(failure)

    threads = [threading.Thread(target=hammer) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert errors == []
    assert len(results) == 2 * rounds
    for positions, neck_positions in results:
        assert positions[2] == pytest.approx(math.pi / 2, abs=1e-12)
        assert neck_positions == pytest.approx([0.1, 0.2, 0.3], abs=POSITION_STEP)
    # Whole exchanges only: arm read then nose read, and yaw, pitch, roll, every time.
    assert [describe(p) for p in torso.servo_bus.requests] == [
        ("sync_read", PRESENT_POSITION, 2, ids) for _ in range(2 * rounds) for ids in (ARM, NOSE)
    ]
    assert [describe_frame(f) for f in torso.neck.frames] == [
        ("feedback", i) for _ in range(2 * rounds) for i in (1, 2, 3)
    ]
